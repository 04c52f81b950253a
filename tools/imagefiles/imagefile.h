// Image files read and written a band of rows at a time, so that memory stays
// bounded whatever the image's size: TIFF through libtiff, PNG through libpng,
// JPEG through libjpeg. Samples are 8 or 16 bits in the machine's byte order,
// channels interleaved: the colour channels, then the extra ones (alpha
// first when there is alpha, never premultiplied). The ICC profile a file
// carries is read and written as bytes, untouched.
//
// Plain C++: the command line and the window both read through it.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace imagefiles {

enum class ColorModel { Gray, Rgb, Cmyk };
enum class FileKind { Other, Tiff, Png, Jpeg };
enum class Compression { None, Lzw, Deflate, Other };

struct PixelLayout {
    uint32_t width = 0;
    uint32_t height = 0;
    ColorModel model = ColorModel::Rgb;
    uint32_t extraChannels = 0;   // after the colour channels
    bool alpha = false;           // the first extra channel is alpha
    uint32_t bits = 8;            // per sample: 8 or 16

    uint32_t colorChannels() const { return model == ColorModel::Gray ? 1 : model == ColorModel::Rgb ? 3 : 4; }
    uint32_t channels() const { return colorChannels() + extraChannels; }
    size_t pixelBytes() const { return size_t(channels()) * (bits / 8); }
    size_t rowBytes() const { return size_t(width) * pixelBytes(); }
};

bool operator==(const PixelLayout& a, const PixelLayout& b);

// Print resolution: pixels per unit along x and y. With the unit None the
// two give only the pixels' aspect ratio; x and y 0: the file gives none.
enum class ResolutionUnit { None, Inch, Centimetre };
struct Resolution {
    double x = 0;
    double y = 0;
    ResolutionUnit unit = ResolutionUnit::None;
    bool known() const { return x > 0 && y > 0; }
};

const char* modelName(ColorModel model);   // "gray", "RGB", "CMYK"

// The kind of a file by its first bytes; Other when it is none of ours.
FileKind fileKindOfContent(const std::string& path);
// The kind a file name asks for by its extension (.tif .tiff .png .jpg .jpeg).
FileKind fileKindOfName(const std::string& path);

class ImageReader {
public:
    virtual ~ImageReader() = default;

    const PixelLayout& layout() const { return layout_; }
    FileKind kind() const { return kind_; }
    Compression compression() const { return compression_; }
    // The embedded ICC profile, empty when the file carries none.
    const std::vector<uint8_t>& iccProfile() const { return icc_; }
    // How the rows are meant to be shown, as TIFF and EXIF give it: 1 as
    // stored, 2 … 8 mirrored or turned. Rows are handed out as stored.
    uint16_t orientation() const { return orientation_; }
    // Why a profile the file carries could not be taken; empty when fine.
    const std::string& profileProblem() const { return profileProblem_; }
    const Resolution& resolution() const { return resolution_; }
    // Images in the file (the pages of a TIFF); the reader reads the first.
    uint32_t pages() const { return pages_; }

    // The next `rows` rows, top to bottom, `stride` bytes apart. False (and
    // error()) when the file is damaged or ends too early.
    virtual bool readRows(uint8_t* out, size_t stride, uint32_t rows) = 0;
    const std::string& error() const { return error_; }

protected:
    PixelLayout layout_;
    FileKind kind_ = FileKind::Other;
    Compression compression_ = Compression::None;
    std::vector<uint8_t> icc_;
    uint16_t orientation_ = 1;
    std::string profileProblem_;
    Resolution resolution_;
    uint32_t pages_ = 1;
    std::string error_;
};

// A reader over a TIFF, PNG or JPEG file; null with `error` when the file
// cannot be opened, is of another kind, or its header is damaged.
std::unique_ptr<ImageReader> openImageFile(const std::string& path, std::string& error);

struct WriteOptions {
    Compression compression = Compression::None;   // TIFF
    int quality = 90;                               // JPEG, 1 … 100
    std::vector<uint8_t> iccProfile;                // embedded when not empty
    uint16_t orientation = 1;                       // recorded: TIFF tag, EXIF in JPEG and PNG
    Resolution resolution;                          // recorded when known (not in CMYK JPEG, which has no JFIF)
};

// Whether a kind of file holds a layout; `why` when not.
bool kindHolds(FileKind kind, const PixelLayout& layout, std::string& why);

class ImageWriter {
public:
    virtual ~ImageWriter() = default;
    virtual bool writeRows(const uint8_t* rows, size_t stride, uint32_t count) = 0;
    // Completes the file and gives it its name. Until then the file lives
    // under a temporary name beside the target; a writer dropped without
    // committing leaves nothing behind. Without `overwrite`, an existing
    // file under the name is never replaced.
    virtual bool commit(bool overwrite) = 0;
    const std::string& error() const { return error_; }

protected:
    std::string error_;
};

// A writer of a new TIFF, PNG or JPEG file; null with `error` when the kind
// does not hold the layout or the file cannot be created.
std::unique_ptr<ImageWriter> createImageFile(const std::string& path, FileKind kind, const PixelLayout& layout,
                                             const WriteOptions& options, std::string& error);

// The temporary files of all PendingFiles of the process, listed where a
// signal handler finds them.
struct TemporaryFileList;
TemporaryFileList* temporaryFileList();
// For a module with its own copy of this code: list its files in the
// program's list instead.
void useTemporaryFileList(TemporaryFileList* list);
// When SIGINT, SIGTERM, SIGHUP, SIGQUIT or SIGPIPE stops the process, first
// remove every temporary file, then end by that signal. A signal that was
// ignored when the process started stays ignored.
void removeTemporaryFilesOnSignals();

// A file under a temporary name beside its target, removed unless committed
// (or, after removeTemporaryFilesOnSignals, when a signal stops the process).
class PendingFile {
public:
    explicit PendingFile(const std::string& target);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    bool ok() const { return !temp_.empty(); }
    const std::string& tempPath() const { return temp_; }
    const std::string& error() const { return error_; }
    // Renames the temporary file to the target. A file it replaces passes
    // on its permissions and, where the process may set them, its owner and
    // group.
    bool commit(bool overwrite);
    // Why writing failed: "no space left on the device" when the target's
    // folder has none left (each library names a full disk in its own words,
    // or not at all), else `why`. Asked while the temporary file still holds
    // the space it took.
    std::string failure(const std::string& why) const;
    // Starts writing what the temporary file holds so far to the disk,
    // without waiting, where that spares the rename the wait.
    void startWriteback();

private:
    void forget();

    std::string target_;
    std::string temp_;
    std::atomic<char*>* slot_ = nullptr;   // the name in the list of temporary files
    int fd_ = -1;   // open while the rename will replace a file
    std::string error_;
};

// For the files whose toolkit readers fill missing pixels in silence (BMP
// with uncompressed rows, GIF), why the file cannot hold the pixels its
// header announces (it is cut short); empty when it can, or for other files.
std::string shortfall(const std::string& path);

// Samples in place: undo premultiplied alpha, or take complements.
void unpremultiply(uint8_t* row, const PixelLayout& layout);
void invertSamples(uint8_t* row, size_t samples, uint32_t bits);

}   // namespace imagefiles
