#include "profiles/core/builtinspaces.h"

#include <QFile>

#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

using CurvePtr = std::unique_ptr<ToneCurve, decltype(&freeCurve)>;
using TextPtr = std::unique_ptr<LocalizedText, decltype(&freeLocalizedText)>;

// How the white of a built-in is given.
enum class White { Srgb, Daylight6504, D50, ProPhoto };

// The channel curve: a single exponent, or the ICC parametric type 4
// (g, a, b, c, d).
struct CurveSpec {
    int32_t type;           // 1: gamma, 4: the two-piece curve
    double params[5];
};

struct RgbSpace {
    const char* name;
    const char* description;
    White white;
    CieXyY primaries[3];
    CurveSpec curve;
    bool version43;         // the spaces with a type-4 curve are version 4.3
};

constexpr CieXyY SrgbPrimaries[3] = {{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
constexpr CieXyY AdobePrimaries[3] = {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
constexpr CieXyY ProPhotoPrimaries[3] = {
    {0.7347, 0.2653, 0.28804}, {0.1596, 0.8404, 0.711874}, {0.0366, 0.0001, 0.000086}};

constexpr double ProPhotoKelvin = 5002.78164116829;

constexpr CurveSpec gamma(double g)
{
    return {1, {g, 0, 0, 0, 0}};
}

// The curves map encoded values to linear light, so their break points lie
// in the encoded domain.
//
// ROMM RGB: linear = encoded / 16 below 16 × 1/512 = 1/32, encoded^1.8 above;
// both pieces give 1/512 at the break.
constexpr CurveSpec RommCurve = {4, {1.8, 1.0, 0.0, 1.0 / 16.0, 1.0 / 32.0}};

// BT.2020: encoded = 4.5 × linear below beta, alpha × linear^0.45 - (alpha - 1)
// above, with the exact constants at which the two pieces meet in value and
// slope (the rounded 1.099 and 0.018 leave a step backwards at the joint).
constexpr double Bt2020Alpha = 1.09929682680944;
constexpr double Bt2020Beta = 0.018053968510807;
constexpr CurveSpec Bt2020Curve = {
    4, {1.0 / 0.45, 1.0 / Bt2020Alpha, (Bt2020Alpha - 1.0) / Bt2020Alpha, 1.0 / 4.5, 4.5 * Bt2020Beta}};

constexpr RgbSpace RgbSpaces[] = {
    {"*srgb", "sRGB-like color space", White::Srgb, {}, {}, false},
    {"*argb", "AdobeRGB1998-like color space", White::Daylight6504,
     {AdobePrimaries[0], AdobePrimaries[1], AdobePrimaries[2]}, gamma(2.19921875), false},
    {"*colormatchrgb", "ColormatchRGB-like color space", White::D50,
     {{0.63, 0.34, 1}, {0.29, 0.61, 1}, {0.15, 0.075, 1}}, gamma(2.2), false},
    {"*applergb", "AppleRGB-like color space", White::Daylight6504,
     {{0.63, 0.34, 1}, {0.28, 0.60, 1}, {0.16, 0.07, 1}}, gamma(1.8), false},
    {"*srgblin", "Rec709/gamma 1.0, (sRGB-linear) color space", White::Daylight6504,
     {SrgbPrimaries[0], SrgbPrimaries[1], SrgbPrimaries[2]}, gamma(1.0), false},
    {"*argblin", "AdobeRGB1998/gamma 1.0 (aRGB-linear) color space", White::Daylight6504,
     {AdobePrimaries[0], AdobePrimaries[1], AdobePrimaries[2]}, gamma(1.0), false},
    {"*prophoto", "ProPhotoRGB-like", White::ProPhoto,
     {ProPhotoPrimaries[0], ProPhotoPrimaries[1], ProPhotoPrimaries[2]}, RommCurve, true},
    {"*prophotolin", "linear ProPhotoRGB-like", White::ProPhoto,
     {ProPhotoPrimaries[0], ProPhotoPrimaries[1], ProPhotoPrimaries[2]}, gamma(1.0), true},
    {"*bt2020", "ITU-R Recommendation BT.2020", White::Daylight6504,
     {{0.708, 0.292, 1}, {0.17, 0.797, 1}, {0.131, 0.046, 1}},
     Bt2020Curve, true},
    {"*ecirgb", "ECI RGB-like color space", White::D50, {{0.67, 0.33, 1}, {0.21, 0.71, 1}, {0.14, 0.08, 1}},
     gamma(1.8), false},
    {"*oprgb", "opRGB-IEC 61966-2-5:2007", White::Daylight6504,
     {AdobePrimaries[0], AdobePrimaries[1], AdobePrimaries[2]}, gamma(2.19921875), false},
    {"*dcip3", "DCI P3 SMPTE-EG-0432-1:2010", White::Daylight6504,
     {{0.68, 0.32, 1}, {0.265, 0.69, 1}, {0.15, 0.06, 1}}, gamma(2.6), false},
};

struct GraySpace {
    const char* name;
    double gamma;
};

constexpr GraySpace GraySpaces[] = {{"*gray10", 1.0}, {"*gray18", 1.8}, {"*gray22", 2.2}, {"*gray30", 3.0}};

constexpr char LabName[] = "*lab";
constexpr char LabDescription[] = "CIE L*a*b* color space";
constexpr char SwopName[] = "*swop";

// The copyright every built-in but "*swop" carries, and its description.
bool setTexts(IccProfile* profile, const QString& description)
{
    const struct { uint32_t tag; QByteArray text; } texts[] = {
        {sig("desc"), description.toUtf8()},
        {sig("cprt"), QByteArray(BuiltinSpaces::Copyright)},
    };
    for (const auto& t : texts) {
        TextPtr mlu{newLocalizedText(nullptr, 1), &freeLocalizedText};
        if (!mlu || !setTextUtf8(mlu.get(), "en", "US", t.text.constData()) || !storeTag(profile, t.tag, mlu.get()))
            return false;
    }
    return true;
}

// Keeps the profile only when its texts could be written.
IccProfile* withTexts(ProfilePtr profile, const QString& description)
{
    if (!profile || !setTexts(profile.get(), description)) return nullptr;
    return profile.release();
}

std::optional<CieXyY> whiteOf(White w)
{
    CieXyY white{};
    switch (w) {
    case White::D50: return xyzToXyY(D50);
    case White::Daylight6504:
        if (whitePointFromTemp(&white, 6504.0)) return white;
        return std::nullopt;
    case White::ProPhoto:
        if (whitePointFromTemp(&white, ProPhotoKelvin)) return white;
        return std::nullopt;
    case White::Srgb: break;
    }
    return std::nullopt;
}

ToneCurve* buildCurve(const CurveSpec& curve)
{
    if (curve.type == 1) return buildGammaCurve(nullptr, curve.params[0]);
    return buildParametricCurve(nullptr, curve.type, curve.params);
}

IccProfile* makeRgb(const RgbSpace& space)
{
    if (space.white == White::Srgb) return withTexts(adoptProfile(createSrgbProfile(nullptr)), space.description);
    const std::optional<CieXyY> white = whiteOf(space.white);
    CurvePtr curve{buildCurve(space.curve), &freeCurve};
    if (!white || !curve) return nullptr;
    const ToneCurve* const curves[3] = {curve.get(), curve.get(), curve.get()};
    CieXyYTriple primaries{space.primaries[0], space.primaries[1], space.primaries[2]};
    ProfilePtr profile = adoptProfile(createRgbProfile(nullptr, &*white, &primaries, curves));
    if (profile && space.version43) setVersionFromNumber(profile.get(), 4.3);
    return withTexts(std::move(profile), space.description);
}

IccProfile* makeGray(const GraySpace& space)
{
    const CieXyY white = xyzToXyY(D50);
    CurvePtr curve{buildGammaCurve(nullptr, space.gamma), &freeCurve};
    if (!curve) return nullptr;
    const QString description =
        QStringLiteral("Gray color space (gamma %1)").arg(QString::number(space.gamma, 'f', 1));
    return withTexts(adoptProfile(createGrayProfile(nullptr, &white, curve.get())), description);
}

IccProfile* openFromBytes(const QByteArray& bytes)
{
    if (bytes.isEmpty()) return nullptr;
    return openFromMemory(bytes.constData(), uint32_t(bytes.size()));
}

QByteArray readWholeFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

IccProfile* openBuiltin(const QString& name)
{
    for (const RgbSpace& s : RgbSpaces)
        if (name == QLatin1String(s.name)) return makeRgb(s);
    for (const GraySpace& s : GraySpaces)
        if (name == QLatin1String(s.name)) return makeGray(s);
    if (name == QLatin1String(LabName))
        return withTexts(adoptProfile(createLabIdentityV4(nullptr, nullptr)), LabDescription);
    if (name == QLatin1String(SwopName)) return openFromBytes(readWholeFile(BuiltinSpaces::SwopResource));
    return nullptr;
}

// ---------------------------------------------------------------------------
// The X11 display profile, through Xlib loaded at run time so that the
// program needs no X11 library to start (and works with no display at all).
// ---------------------------------------------------------------------------

struct Xlib {
    using Display = void;
    using XOpenDisplayFn = Display* (*)(const char*);
    using XCloseDisplayFn = int (*)(Display*);
    using XDefaultRootWindowFn = unsigned long (*)(Display*);
    using XInternAtomFn = unsigned long (*)(Display*, const char*, int);
    using XGetWindowPropertyFn = int (*)(Display*, unsigned long, unsigned long, long, long, int, unsigned long,
                                         unsigned long*, int*, unsigned long*, unsigned long*, unsigned char**);
    using XFreeFn = int (*)(void*);

    void* library = nullptr;
    XOpenDisplayFn openDisplay = nullptr;
    XCloseDisplayFn closeDisplay = nullptr;
    XDefaultRootWindowFn defaultRootWindow = nullptr;
    XInternAtomFn internAtom = nullptr;
    XGetWindowPropertyFn getWindowProperty = nullptr;
    XFreeFn free = nullptr;

    Xlib()
    {
        library = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
        if (!library) return;
        openDisplay = reinterpret_cast<XOpenDisplayFn>(dlsym(library, "XOpenDisplay"));
        closeDisplay = reinterpret_cast<XCloseDisplayFn>(dlsym(library, "XCloseDisplay"));
        defaultRootWindow = reinterpret_cast<XDefaultRootWindowFn>(dlsym(library, "XDefaultRootWindow"));
        internAtom = reinterpret_cast<XInternAtomFn>(dlsym(library, "XInternAtom"));
        getWindowProperty = reinterpret_cast<XGetWindowPropertyFn>(dlsym(library, "XGetWindowProperty"));
        free = reinterpret_cast<XFreeFn>(dlsym(library, "XFree"));
    }
    ~Xlib()
    {
        if (library) dlclose(library);
    }
    Xlib(const Xlib&) = delete;
    Xlib& operator=(const Xlib&) = delete;

    bool usable() const
    {
        return openDisplay && closeDisplay && defaultRootWindow && internAtom && getWindowProperty && free;
    }
};

// Profiles larger than this are not taken from the window system.
constexpr long MaxDisplayProfileBytes = 64L * 1024 * 1024;
constexpr unsigned long AnyPropertyType = 0;

QByteArray x11ProfileData()
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return {};
    Xlib x;
    if (!x.usable()) return {};
    Xlib::Display* dpy = x.openDisplay(nullptr);
    if (!dpy) return {};
    QByteArray data;
    const unsigned long atom = x.internAtom(dpy, "_ICC_PROFILE", 1);   // only if it exists
    if (atom != 0) {
        unsigned long type = 0, items = 0, after = 0;
        int format = 0;
        unsigned char* bytes = nullptr;
        const int status = x.getWindowProperty(dpy, x.defaultRootWindow(dpy), atom, 0, MaxDisplayProfileBytes / 4,
                                               0, AnyPropertyType, &type, &format, &items, &after, &bytes);
        if (status == 0 && bytes && format == 8 && after == 0)
            data = QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(items));
        if (bytes) x.free(bytes);
    }
    x.closeDisplay(dpy);
    return data;
}

}   // namespace

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

const QStringList& BuiltinSpaces::selectorNames()
{
    static const QStringList names = {
        "*srgb",   "*argb",   "*colormatchrgb", "*applergb", "*srgblin", "*argblin",
        "*prophoto", "*prophotolin", "*ecirgb", "*oprgb",   "*bt2020", "*dcip3",
        "*lab",    "*gray10", "*gray18",        "*gray22",   "*gray30",  "*swop",
    };
    return names;
}

bool BuiltinSpaces::isBuiltinName(const QString& name)
{
    return selectorNames().contains(name);
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

IccProfile* openProfileByName(const QString& name)
{
    if (BuiltinSpaces::isBuiltinName(name)) return openBuiltin(name);
    return openProfileFile(name);
}

IccProfile* openProfileFile(const QString& path)
{
    if (path.isEmpty()) return nullptr;
    FILE* stream = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!stream) return nullptr;
    return openFromStream(stream, "r");   // the profile owns the stream from here on
}

QByteArray displayProfileData()
{
    return x11ProfileData();
}

IccProfile* monitorProfileFromData(const QByteArray& data)
{
    if (data.isEmpty()) return createSrgbProfile(nullptr);
    return openFromBytes(data);
}

IccProfile* monitorProfile()
{
    return monitorProfileFromData(displayProfileData());
}

QString profileUtf8Text(IccProfile* profile, ProfileInfo which)
{
    const uint32_t size = profileTextUtf8(profile, which, "en", "US", nullptr, 0);
    if (size == 0) return {};
    QByteArray bytes(qsizetype(size), '\0');
    profileTextUtf8(profile, which, "en", "US", bytes.data(), size);
    return QString::fromUtf8(bytes.constData());
}

QByteArray profileTargetText(IccProfile* profile)
{
    const auto* text = static_cast<const LocalizedText*>(loadTag(profile, sig("targ")));
    if (!text) return {};
    const uint32_t size = getText8(text, "", "", nullptr, 0);
    if (size == 0) return {};
    QByteArray bytes(qsizetype(size), '\0');
    getText8(text, "", "", bytes.data(), size);
    bytes.truncate(qsizetype(qstrnlen(bytes.constData(), size)));
    return bytes;
}
