// The .clf reader and writer, with the small XML reader under it.
#include "app/core/lutformats/clfformat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace lutformats {

namespace {

// ---------------------------------------------------------------------------
// XML
// ---------------------------------------------------------------------------

struct XmlElement {
    std::string name;   // without a namespace prefix
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string text;   // the character data directly inside, joined
    std::vector<std::unique_ptr<XmlElement>> children;
    size_t line = 0;

    const std::string* attribute(const char* key) const
    {
        for (const auto& [k, v] : attributes)
            if (k == key) return &v;
        return nullptr;
    }
    const XmlElement* child(const char* key) const
    {
        for (const auto& c : children)
            if (c->name == key) return c.get();
        return nullptr;
    }
};

constexpr int MaxDepth = 64;

class XmlReader {
public:
    XmlReader(std::string_view text, const std::string& file) : s_(text), file_(file)
    {
        if (s_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
    }

    std::unique_ptr<XmlElement> document()
    {
        std::unique_ptr<XmlElement> root;
        for (;;) {
            skipSpace();
            if (at_ >= s_.size()) break;
            if (!starts("<")) return fail("text outside the root element");
            if (skipMarkup()) {
                if (!error_.empty()) return nullptr;
                continue;
            }
            if (root) return fail("a second root element");
            root = element(0);
            if (!root) return nullptr;
        }
        if (!root) return fail("no root element");
        return root;
    }

    const std::string& error() const { return error_; }

private:
    std::nullptr_t fail(const std::string& what)
    {
        if (error_.empty()) error_ = lineError(file_, line_, what);
        return nullptr;
    }

    bool starts(std::string_view p) const { return s_.substr(at_, p.size()) == p; }

    void advance(size_t n)
    {
        for (size_t i = 0; i < n && at_ < s_.size(); ++i, ++at_)
            if (s_[at_] == '\n') ++line_;
    }

    void skipSpace()
    {
        while (at_ < s_.size() && std::strchr(" \t\r\n", s_[at_]) && s_[at_]) advance(1);
    }

    // Moves past `end`; false (and an error) when the text ends first.
    bool skipPast(std::string_view end, const char* what)
    {
        const size_t found = s_.find(end, at_);
        if (found == std::string_view::npos) {
            fail(std::string("the file ends inside ") + what);
            return false;
        }
        advance(found + end.size() - at_);
        return true;
    }

    // Comments, processing instructions and declarations: true when one was
    // skipped (check error()).
    bool skipMarkup()
    {
        if (starts("<!--")) return skipPast("-->", "a comment"), true;
        if (starts("<?")) return skipPast("?>", "a processing instruction"), true;
        if (starts("<!DOCTYPE")) return fail("a DOCTYPE is not read"), true;
        return false;
    }

    static bool nameChar(char c)
    {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' || c == ':' ||
               (static_cast<unsigned char>(c) >= 0x80);
    }

    std::string name()
    {
        const size_t start = at_;
        while (at_ < s_.size() && nameChar(s_[at_])) ++at_;
        return std::string(s_.substr(start, at_ - start));
    }

    static std::string local(const std::string& qualified)
    {
        const size_t colon = qualified.find(':');
        return colon == std::string::npos ? qualified : qualified.substr(colon + 1);
    }

    // Character data with its references decoded, up to `stop`.
    bool decodeInto(std::string& out, std::string_view raw)
    {
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '&') {
                out += raw[i];
                continue;
            }
            const size_t semi = raw.find(';', i);
            if (semi == std::string_view::npos || semi - i > 10) return fail("an '&' that starts no reference"), false;
            const std::string_view ref = raw.substr(i + 1, semi - i - 1);
            static const std::pair<const char*, char> Named[] = {
                {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
            bool done = false;
            for (const auto& [n, c] : Named)
                if (ref == n) out += c, done = true;
            if (!done && ref.size() > 1 && ref[0] == '#') {
                const bool hex = ref[1] == 'x';
                const std::string digits(ref.substr(hex ? 2 : 1));
                char* end = nullptr;
                const unsigned long code = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
                if (digits.empty() || *end || code == 0 || code > 0x10FFFF)
                    return fail("a character reference that is no character"), false;
                // UTF-8
                if (code < 0x80) {
                    out += char(code);
                } else if (code < 0x800) {
                    out += char(0xC0 | (code >> 6));
                    out += char(0x80 | (code & 0x3F));
                } else if (code < 0x10000) {
                    out += char(0xE0 | (code >> 12));
                    out += char(0x80 | ((code >> 6) & 0x3F));
                    out += char(0x80 | (code & 0x3F));
                } else {
                    out += char(0xF0 | (code >> 18));
                    out += char(0x80 | ((code >> 12) & 0x3F));
                    out += char(0x80 | ((code >> 6) & 0x3F));
                    out += char(0x80 | (code & 0x3F));
                }
                done = true;
            }
            if (!done) return fail("the reference &" + std::string(ref) + "; is not one XML knows"), false;
            i = semi;
        }
        return true;
    }

    std::unique_ptr<XmlElement> element(int depth)
    {
        if (depth > MaxDepth) return fail("elements nested deeper than 64");
        auto e = std::make_unique<XmlElement>();
        e->line = line_;
        advance(1);   // '<'
        const std::string qualified = name();
        if (qualified.empty()) return fail("an element without a name");
        e->name = local(qualified);
        for (;;) {
            skipSpace();
            if (at_ >= s_.size()) return fail("the file ends inside the tag <" + qualified + ">");
            if (starts("/>")) {
                advance(2);
                return e;
            }
            if (starts(">")) {
                advance(1);
                break;
            }
            const std::string key = name();
            if (key.empty()) return fail("a stray character in the tag <" + qualified + ">");
            skipSpace();
            if (!starts("=")) return fail("the attribute " + key + " has no value");
            advance(1);
            skipSpace();
            if (at_ >= s_.size() || (s_[at_] != '"' && s_[at_] != '\''))
                return fail("the value of the attribute " + key + " is not quoted");
            const char quote = s_[at_];
            advance(1);
            const size_t end = s_.find(quote, at_);
            if (end == std::string_view::npos) return fail("the file ends inside the attribute " + key);
            std::string value;
            if (!decodeInto(value, s_.substr(at_, end - at_))) return nullptr;
            advance(end + 1 - at_);
            e->attributes.emplace_back(local(key), std::move(value));
        }
        // Content, up to the matching end tag.
        for (;;) {
            const size_t lt = s_.find('<', at_);
            if (lt == std::string_view::npos) return fail("the element <" + qualified + "> is never closed");
            if (!decodeInto(e->text, s_.substr(at_, lt - at_))) return nullptr;
            advance(lt - at_);
            if (starts("</")) {
                advance(2);
                const std::string closing = name();
                if (closing != qualified)
                    return fail("</" + closing + "> closes <" + qualified + "> (opened on line " +
                                std::to_string(e->line) + ")");
                skipSpace();
                if (!starts(">")) return fail("the end tag </" + closing + "> is not closed");
                advance(1);
                return e;
            }
            if (starts("<![CDATA[")) {
                advance(9);
                const size_t end = s_.find("]]>", at_);
                if (end == std::string_view::npos) return fail("the file ends inside a CDATA section");
                e->text.append(s_.substr(at_, end - at_));
                advance(end + 3 - at_);
                continue;
            }
            if (skipMarkup()) {
                if (!error_.empty()) return nullptr;
                continue;
            }
            std::unique_ptr<XmlElement> c = element(depth + 1);
            if (!c) return nullptr;
            e->children.push_back(std::move(c));
        }
    }

    std::string_view s_;
    const std::string& file_;
    size_t at_ = 0;
    size_t line_ = 1;
    std::string error_;
};

// ---------------------------------------------------------------------------
// Process nodes
// ---------------------------------------------------------------------------

enum class OpKind { Range, Matrix, Lut1d, Lut3d };

// One node in normalised units (0 … 1 for every bit depth).
struct Op {
    OpKind kind;
    size_t line = 0;
    // Range: out = in · scale + offset, then held within [low, high].
    double scale = 1, offset = 0, low = -HUGE_VAL, high = HUGE_VAL;
    // Matrix: 3 × 3 and offsets.
    double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, mOffset[3] = {0, 0, 0};
    // LUT1D: per channel, n entries; LUT3D: n³ nodes, red fastest.
    uint32_t n = 0;
    std::vector<float> table[3];
    Lut3D grid;

    bool perChannel() const
    {
        return kind != OpKind::Lut3d && (kind != OpKind::Matrix || (m[1] == 0 && m[2] == 0 && m[3] == 0 &&
                                                                    m[5] == 0 && m[6] == 0 && m[7] == 0));
    }

    double channel(size_t c, double x) const
    {
        switch (kind) {
        case OpKind::Range: return std::clamp(x * scale + offset, low, high);
        case OpKind::Matrix: return m[c * 4] * x + mOffset[c];
        case OpKind::Lut1d: {
            const double at = std::clamp(x, 0.0, 1.0) * double(n - 1);
            const size_t i = std::min(size_t(at), size_t(n - 2));
            return table[c][i] + (table[c][i + 1] - table[c][i]) * (at - double(i));
        }
        case OpKind::Lut3d: break;
        }
        return x;
    }

    void apply(double v[3]) const
    {
        if (kind == OpKind::Lut3d) {
            const std::array<double, 3> out = grid.evaluate({v[0], v[1], v[2]});
            std::copy(out.begin(), out.end(), v);
        } else if (kind == OpKind::Matrix) {
            double out[3];
            for (size_t r = 0; r < 3; ++r) out[r] = m[r * 3] * v[0] + m[r * 3 + 1] * v[1] + m[r * 3 + 2] * v[2] + mOffset[r];
            std::copy(out, out + 3, v);
        } else {
            for (size_t c = 0; c < 3; ++c) v[c] = channel(c, v[c]);
        }
    }
};

// The largest code of a bit depth; 1 for the float depths.
std::optional<double> depthScale(const std::string& depth)
{
    if (depth == "8i") return 255.0;
    if (depth == "10i") return 1023.0;
    if (depth == "12i") return 4095.0;
    if (depth == "16i") return 65535.0;
    if (depth == "16f" || depth == "32f") return 1.0;
    return std::nullopt;
}

class ClfReader {
public:
    ClfReader(const std::string& file) : file_(file) {}

    std::string read(const XmlElement& root, Lut3D& lut)
    {
        if (root.name != "ProcessList")
            return lineError(file_, root.line, "the root element is <" + root.name + ">, not <ProcessList>");
        std::vector<Op> ops;
        for (const auto& child : root.children) {
            const XmlElement& e = *child;
            if (e.name == "Description") {
                const std::string text = trimmed(e.text);
                if (lut.title.empty()) lut.title = text;
                else if (!text.empty()) lut.comment += (lut.comment.empty() ? "" : " ") + text;
                continue;
            }
            if (e.name == "InputDescriptor" || e.name == "OutputDescriptor" || e.name == "Info") continue;
            Op op;
            op.line = e.line;
            std::string why;
            if (e.name == "Range") why = range(e, op);
            else if (e.name == "Matrix") why = matrix(e, op);
            else if (e.name == "LUT1D") why = lut1d(e, op);
            else if (e.name == "LUT3D") why = lut3d(e, op);
            else
                return lineError(file_, e.line, "the node <" + e.name +
                                                    "> is not read: only Range, Matrix, LUT1D and LUT3D nodes are");
            if (!why.empty()) return why;
            ops.push_back(std::move(op));
        }
        if (ops.empty()) return lineError(file_, root.line, "the ProcessList holds no process node");
        compose(ops, lut);
        return {};
    }

private:
    static std::string trimmed(const std::string& s)
    {
        const size_t a = s.find_first_not_of(" \t\r\n");
        if (a == std::string::npos) return {};
        return oneLine(s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1));
    }

    std::string fail(const XmlElement& e, const std::string& what) const
    {
        return lineError(file_, e.line, "<" + e.name + ">: " + what);
    }

    // The node's two bit depths as scales.
    std::string depths(const XmlElement& e, double& in, double& out) const
    {
        for (const char* key : {"inBitDepth", "outBitDepth"}) {
            const std::string* v = e.attribute(key);
            if (!v) return fail(e, std::string("the attribute ") + key + " is missing");
            const std::optional<double> s = depthScale(*v);
            if (!s) return fail(e, std::string(key) + " \"" + *v + "\" is none of 8i, 10i, 12i, 16i, 16f, 32f");
            (std::strcmp(key, "inBitDepth") == 0 ? in : out) = *s;
        }
        return {};
    }

    // The numbers of an element's text; `count` of them exactly.
    std::string numbers(const XmlElement& e, size_t count, std::vector<double>& out) const
    {
        out.clear();
        out.reserve(std::min<size_t>(count, size_t(1) << 20));
        TextScanner scan(e.text);
        std::vector<std::string_view> words;
        while (scan.nextLine(words, false)) {
            for (std::string_view w : words) {
                const std::optional<double> v = parseNumber(w);
                if (!v || std::fabs(*v) > 3.4e38)
                    return lineError(file_, e.line + scan.lineNumber() - 1,
                                     "<" + e.name + ">: \"" + std::string(w) + "\" is not a number");
                if (out.size() == count)
                    return fail(e, "more than the " + std::to_string(count) + " values its dimensions give");
                out.push_back(*v);
            }
        }
        if (out.size() != count)
            return fail(e, "holds " + std::to_string(out.size()) + " values, its dimensions give " +
                               std::to_string(count));
        return {};
    }

    // The Array child's dimensions.
    std::string arrayDims(const XmlElement& node, const XmlElement*& array, std::vector<long long>& dims) const
    {
        array = node.child("Array");
        if (!array) return fail(node, "no <Array>");
        const std::string* dim = array->attribute("dim");
        if (!dim) return fail(*array, "the attribute dim is missing");
        dims.clear();
        TextScanner scan(*dim);
        std::vector<std::string_view> words;
        while (scan.nextLine(words, false))
            for (std::string_view w : words) {
                const std::optional<long long> v = parseInteger(w);
                if (!v || *v < 1 || *v > 65536) return fail(*array, "dim \"" + *dim + "\" is not a list of sizes");
                dims.push_back(*v);
            }
        return {};
    }

    std::string range(const XmlElement& e, Op& op) const
    {
        op.kind = OpKind::Range;
        double in = 1, out = 1;
        if (std::string why = depths(e, in, out); !why.empty()) return why;
        std::optional<double> v[4];
        const char* const keys[4] = {"minInValue", "maxInValue", "minOutValue", "maxOutValue"};
        for (size_t i = 0; i < 4; ++i) {
            const XmlElement* c = e.child(keys[i]);
            if (!c) continue;
            std::vector<double> one;
            if (std::string why = numbers(*c, 1, one); !why.empty()) return why;
            v[i] = one[0] / (i < 2 ? in : out);
        }
        if (v[0].has_value() != v[2].has_value() || v[1].has_value() != v[3].has_value() || (!v[0] && !v[1]))
            return fail(e, "needs minInValue with minOutValue, maxInValue with maxOutValue, or all four");
        const std::string* style = e.attribute("style");
        const bool clamp = !style || *style != "noClamp";
        if (v[0] && v[1]) {
            if (!(*v[1] > *v[0])) return fail(e, "maxInValue must be above minInValue");
            op.scale = (*v[3] - *v[2]) / (*v[1] - *v[0]);
            op.offset = *v[2] - *v[0] * op.scale;
            if (clamp) op.low = std::min(*v[2], *v[3]), op.high = std::max(*v[2], *v[3]);
        } else if (v[0]) {
            op.offset = *v[2] - *v[0];
            if (clamp) op.low = *v[2];
        } else {
            op.offset = *v[3] - *v[1];
            if (clamp) op.high = *v[3];
        }
        return {};
    }

    std::string matrix(const XmlElement& e, Op& op) const
    {
        op.kind = OpKind::Matrix;
        double in = 1, out = 1;
        if (std::string why = depths(e, in, out); !why.empty()) return why;
        const XmlElement* array = nullptr;
        std::vector<long long> dims;
        if (std::string why = arrayDims(e, array, dims); !why.empty()) return why;
        // CLF 3 writes "3 3" or "3 4"; CLF 2 added the channel count, "3 3 3".
        if (dims.size() == 3 && dims[2] == 3) dims.pop_back();
        if (dims.size() != 2 || dims[0] != 3 || (dims[1] != 3 && dims[1] != 4))
            return fail(*array, "a matrix of 3 × 3 or 3 × 4 values is read");
        std::vector<double> v;
        if (std::string why = numbers(*array, size_t(3 * dims[1]), v); !why.empty()) return why;
        const size_t cols = size_t(dims[1]);
        for (size_t r = 0; r < 3; ++r) {
            for (size_t c = 0; c < 3; ++c) op.m[r * 3 + c] = v[r * cols + c] * in / out;
            if (cols == 4) op.mOffset[r] = v[r * cols + 3] / out;
        }
        return {};
    }

    std::string lut1d(const XmlElement& e, Op& op) const
    {
        op.kind = OpKind::Lut1d;
        double in = 1, out = 1;
        if (std::string why = depths(e, in, out); !why.empty()) return why;
        for (const char* key : {"halfDomain", "rawHalfs"})
            if (const std::string* v = e.attribute(key); v && *v == "true")
                return fail(e, std::string(key) + " tables are not read");
        const XmlElement* array = nullptr;
        std::vector<long long> dims;
        if (std::string why = arrayDims(e, array, dims); !why.empty()) return why;
        if (dims.size() != 2 || dims[0] < 2 || (dims[1] != 1 && dims[1] != 3))
            return fail(*array, "a LUT1D of 2 to 65536 entries of 1 or 3 channels is read");
        std::vector<double> v;
        if (std::string why = numbers(*array, size_t(dims[0] * dims[1]), v); !why.empty()) return why;
        op.n = uint32_t(dims[0]);
        const size_t channels = size_t(dims[1]);
        for (size_t c = 0; c < 3; ++c) {
            op.table[c].resize(op.n);
            for (size_t i = 0; i < op.n; ++i) op.table[c][i] = float(v[i * channels + (channels == 3 ? c : 0)] / out);
        }
        return {};
    }

    std::string lut3d(const XmlElement& e, Op& op) const
    {
        op.kind = OpKind::Lut3d;
        double in = 1, out = 1;
        if (std::string why = depths(e, in, out); !why.empty()) return why;
        const XmlElement* array = nullptr;
        std::vector<long long> dims;
        if (std::string why = arrayDims(e, array, dims); !why.empty()) return why;
        if (dims.size() != 4 || dims[3] != 3 || dims[0] != dims[1] || dims[1] != dims[2] || dims[0] < 2 ||
            dims[0] > MaxGridPoints)
            return fail(*array, "a LUT3D of N × N × N × 3 values, N from 2 to 256, is read");
        const uint32_t n = uint32_t(dims[0]);
        std::vector<double> v;
        if (std::string why = numbers(*array, size_t(n) * n * n * 3, v); !why.empty()) return why;
        op.grid.size = n;
        op.grid.data.resize(v.size());
        // Blue varies fastest in the file.
        size_t k = 0;
        for (uint32_t r = 0; r < n; ++r)
            for (uint32_t g = 0; g < n; ++g)
                for (uint32_t b = 0; b < n; ++b, k += 3)
                    for (size_t c = 0; c < 3; ++c) op.grid.data[op.grid.offset(r, g, b) + c] = float(v[k + c] / out);
        return {};
    }

    // The list as one table (see the header).
    static void compose(const std::vector<Op>& ops, Lut3D& lut)
    {
        size_t grids = 0, gridAt = 0;
        for (size_t i = 0; i < ops.size(); ++i)
            if (ops[i].kind == OpKind::Lut3d) ++grids, gridAt = grids == 1 ? i : gridAt;
        bool exact = grids == 1 && gridAt == ops.size() - 1;
        for (size_t i = 0; exact && i < gridAt; ++i) exact = ops[i].perChannel();
        if (!exact) {
            resampleWhole(ops, grids ? ops[gridAt].grid.size : 33, lut);
            return;
        }
        const Lut3D& grid = ops[gridAt].grid;
        lut.size = grid.size;
        lut.data = grid.data;
        size_t first = 0;
        // A leading clamping Range onto 0 … 1 is the input range, and so is
        // a scaling matrix followed by a Range that only clamps to 0 … 1.
        const auto clampsToUnit = [](const Op& op) {
            return op.kind == OpKind::Range && op.low == 0 && op.high == 1 && op.scale > 0;
        };
        if (gridAt > 0 && clampsToUnit(ops[0])) {
            const double lo = -ops[0].offset / ops[0].scale, hi = (1 - ops[0].offset) / ops[0].scale;
            lut.inputMin = {lo, lo, lo};
            lut.inputMax = {hi, hi, hi};
            first = 1;
        } else if (gridAt > 1 && ops[0].kind == OpKind::Matrix && clampsToUnit(ops[1]) && ops[1].scale == 1 &&
                   ops[1].offset == 0 && ops[0].m[0] > 0 && ops[0].m[4] > 0 && ops[0].m[8] > 0) {
            for (size_t c = 0; c < 3; ++c) {
                lut.inputMin[c] = -ops[0].mOffset[c] / ops[0].m[c * 4];
                lut.inputMax[c] = (1 - ops[0].mOffset[c]) / ops[0].m[c * 4];
            }
            first = 2;
        }
        if (first == gridAt) return;
        // Just a LUT1D: its entries are the shapers.
        if (first + 1 == gridAt && ops[first].kind == OpKind::Lut1d) {
            lut.shaperSize = ops[first].n;
            for (size_t c = 0; c < 3; ++c) lut.shaper[c] = ops[first].table[c];
            return;
        }
        lut.shaperSize = 4096;
        for (size_t c = 0; c < 3; ++c) {
            lut.shaper[c].resize(lut.shaperSize);
            for (uint32_t i = 0; i < lut.shaperSize; ++i) {
                double x = lut.inputMin[c] + (lut.inputMax[c] - lut.inputMin[c]) * double(i) / (lut.shaperSize - 1);
                for (size_t k = first; k < gridAt; ++k) x = ops[k].channel(c, x);
                lut.shaper[c][i] = float(x);
            }
        }
    }

    static void resampleWhole(const std::vector<Op>& ops, uint32_t n, Lut3D& lut)
    {
        lut.size = n;
        lut.data.resize(lut.nodeCount() * 3);
        for (uint32_t b = 0; b < n; ++b)
            for (uint32_t g = 0; g < n; ++g)
                for (uint32_t r = 0; r < n; ++r) {
                    double v[3] = {double(r) / (n - 1), double(g) / (n - 1), double(b) / (n - 1)};
                    for (const Op& op : ops) op.apply(v);
                    float* node = &lut.data[lut.offset(r, g, b)];
                    for (size_t c = 0; c < 3; ++c) node[c] = float(std::clamp(v[c], -3.4e38, 3.4e38));
                }
    }

    const std::string& file_;
};

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : oneLine(text)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

void appendValues(std::string& out, const float* v, size_t count, size_t perLine)
{
    for (size_t i = 0; i < count; ++i) {
        appendShortest(out, v[i]);
        out += (i + 1) % perLine == 0 ? '\n' : ' ';
    }
}

}   // namespace

LutRead readClf(std::string_view text, const std::string& name)
{
    LutRead result;
    XmlReader xml(text, name);
    const std::unique_ptr<XmlElement> root = xml.document();
    if (!root) {
        result.error = xml.error();
        return result;
    }
    result.error = ClfReader(name).read(*root, result.lut);
    return result;
}

std::string clfText(const Lut3D& lut)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<ProcessList id=\"tonemolder-look\" compCLFversion=\"3.0\" xmlns=\"urn:AMPAS:CLF:v3.0\">\n";
    out += "    <Description>" + escaped(lut.title) + "</Description>\n";
    if (!lut.comment.empty()) out += "    <Description>" + escaped(lut.comment) + "</Description>\n";
    out += "    <InputDescriptor>RGB</InputDescriptor>\n    <OutputDescriptor>RGB</OutputDescriptor>\n";
    const bool unit = lut.inputMin == std::array<double, 3>{0, 0, 0} && lut.inputMax == std::array<double, 3>{1, 1, 1};
    const bool sameRange = lut.inputMin[0] == lut.inputMin[1] && lut.inputMin[1] == lut.inputMin[2] &&
                           lut.inputMax[0] == lut.inputMax[1] && lut.inputMax[1] == lut.inputMax[2];
    auto number = [](double v) {
        std::string s;
        appendShortest(s, float(v));
        return s;
    };
    if (!unit && !sameRange) {
        out += "    <Matrix inBitDepth=\"32f\" outBitDepth=\"32f\">\n        <Array dim=\"3 4\">\n";
        for (size_t r = 0; r < 3; ++r) {
            const double w = lut.inputMax[r] - lut.inputMin[r];
            for (size_t c = 0; c < 3; ++c) out += (c == r ? number(1 / w) : std::string("0")) + " ";
            out += number(-lut.inputMin[r] / w) + "\n";
        }
        out += "        </Array>\n    </Matrix>\n";
    }
    if (!unit) {
        const double lo = sameRange ? lut.inputMin[0] : 0, hi = sameRange ? lut.inputMax[0] : 1;
        out += "    <Range inBitDepth=\"32f\" outBitDepth=\"32f\">\n";
        out += "        <minInValue>" + number(lo) + "</minInValue>\n";
        out += "        <maxInValue>" + number(hi) + "</maxInValue>\n";
        out += "        <minOutValue>0</minOutValue>\n        <maxOutValue>1</maxOutValue>\n    </Range>\n";
    }
    if (lut.hasShaper()) {
        out += "    <LUT1D inBitDepth=\"32f\" outBitDepth=\"32f\" interpolation=\"linear\">\n";
        out += "        <Array dim=\"" + std::to_string(lut.shaperSize) + " 3\">\n";
        for (uint32_t i = 0; i < lut.shaperSize; ++i) {
            const float row[3] = {lut.shaper[0][i], lut.shaper[1][i], lut.shaper[2][i]};
            appendValues(out, row, 3, 3);
        }
        out += "        </Array>\n    </LUT1D>\n";
    }
    const uint32_t n = lut.size;
    out += "    <LUT3D inBitDepth=\"32f\" outBitDepth=\"32f\" interpolation=\"trilinear\">\n";
    out += "        <Array dim=\"" + std::to_string(n) + " " + std::to_string(n) + " " + std::to_string(n) + " 3\">\n";
    out.reserve(out.size() + lut.data.size() * 10);
    for (uint32_t r = 0; r < n; ++r)
        for (uint32_t g = 0; g < n; ++g)
            for (uint32_t b = 0; b < n; ++b) appendValues(out, &lut.data[lut.offset(r, g, b)], 3, 3);
    out += "        </Array>\n    </LUT3D>\n</ProcessList>\n";
    return out;
}

}   // namespace lutformats
