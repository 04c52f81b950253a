#include "tools/cli/toolkitimages.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <cstring>
#include <mutex>

using namespace imagefiles;

namespace {

// The toolkit's image plug-ins are looked up and loaded one image at a time.
std::mutex toolkitMutex;

class ToolkitReader : public ImageReader {
public:
    bool open(const QString& path)
    {
        if (const std::string cut = shortfall(QFile::encodeName(path).toStdString()); !cut.empty())
            return error_ = cut, false;
        std::lock_guard<std::mutex> lock(toolkitMutex);
        QImageReader reader(path);
        reader.setAutoTransform(true);
        image_ = reader.read();
        if (image_.isNull()) {
            error_ = reader.errorString().toStdString();
            return false;
        }
        const bool alpha = image_.hasAlphaChannel();
        const bool sixteen = image_.depth() > 32 || image_.format() == QImage::Format_Grayscale16;
        const bool gray = image_.isGrayscale();
        QImage::Format format = gray ? (sixteen ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8)
                                : sixteen ? QImage::Format_RGBA64
                                : alpha   ? QImage::Format_RGBA8888
                                          : QImage::Format_RGB888;
        if (gray && alpha) format = sixteen ? QImage::Format_RGBA64 : QImage::Format_RGBA8888;
        image_.convertTo(format);
        layout_.width = uint32_t(image_.width());
        layout_.height = uint32_t(image_.height());
        layout_.model = gray && !alpha ? ColorModel::Gray : ColorModel::Rgb;
        layout_.bits = sixteen ? 16 : 8;
        layout_.alpha = alpha;
        layout_.extraChannels = alpha ? 1 : 0;
        // Opaque 16-bit RGB comes as RGBX: the filler is dropped.
        dropFiller_ = format == QImage::Format_RGBA64 && !alpha;
        return true;
    }

    bool readRows(uint8_t* out, size_t stride, uint32_t rows) override
    {
        if (rows > layout_.height - row_) return error_ = "read past the end of the image", false;
        for (uint32_t i = 0; i < rows; ++i, ++row_) {
            const uchar* src = image_.constScanLine(int(row_));
            uint8_t* dst = out + stride * i;
            if (!dropFiller_) {
                std::memcpy(dst, src, layout_.rowBytes());
                continue;
            }
            for (uint32_t x = 0; x < layout_.width; ++x) std::memcpy(dst + x * 6, src + x * 8, 6);
        }
        if (row_ == layout_.height) image_ = QImage();
        return true;
    }

private:
    QImage image_;
    uint32_t row_ = 0;
    bool dropFiller_ = false;
};

class ToolkitWriter : public ImageWriter {
public:
    bool open(const QString& path, const PixelLayout& layout)
    {
        path_ = path;
        layout_ = layout;
        if (layout.model == ColorModel::Cmyk) return error_ = "this file type holds no CMYK; write a TIFF", false;
        if (layout.extraChannels > 1 || (layout.extraChannels == 1 && !layout.alpha))
            return error_ = "this file type holds no extra channel but alpha", false;
        const bool sixteen = layout.bits == 16;
        format_ = layout.model == ColorModel::Gray && !layout.alpha
                      ? (sixteen ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8)
                  : sixteen      ? QImage::Format_RGBA64
                  : layout.alpha ? QImage::Format_RGBA8888
                                 : QImage::Format_RGB888;
        image_ = QImage(int(layout.width), int(layout.height), format_);
        if (image_.isNull()) return error_ = "not enough memory for the image", false;
        return true;
    }

    bool writeRows(const uint8_t* rows, size_t stride, uint32_t count) override
    {
        if (count > layout_.height - row_) return error_ = "more rows than the image has", false;
        const uint32_t colors = layout_.colorChannels(), channels = layout_.channels();
        for (uint32_t i = 0; i < count; ++i, ++row_) {
            const uint8_t* src = rows + stride * i;
            uchar* dst = image_.scanLine(int(row_));
            if (format_ == QImage::Format_Grayscale8 || format_ == QImage::Format_Grayscale16 ||
                (format_ == QImage::Format_RGB888 && colors == 3) || (format_ == QImage::Format_RGBA8888 && colors == 3)) {
                std::memcpy(dst, src, layout_.rowBytes());
                continue;
            }
            // Gray with alpha as RGBA; 16-bit RGB with an opaque filler.
            const size_t sample = layout_.bits / 8;
            for (uint32_t x = 0; x < layout_.width; ++x) {
                const uint8_t* p = src + x * channels * sample;
                uint8_t* q = dst + x * 4 * sample;
                for (uint32_t c = 0; c < 3; ++c) std::memcpy(q + c * sample, p + (colors == 1 ? 0 : c) * sample, sample);
                if (layout_.alpha) std::memcpy(q + 3 * sample, p + colors * sample, sample);
                else std::memset(q + 3 * sample, 0xFF, sample);
            }
        }
        return true;
    }

    bool commit(bool overwrite) override
    {
        PendingFile file(path_.toStdString());
        if (!file.ok()) return error_ = file.error(), false;
        std::lock_guard<std::mutex> lock(toolkitMutex);
        QImageWriter writer(QString::fromStdString(file.tempPath()), QFileInfo(path_).suffix().toLower().toLatin1());
        if (!writer.write(image_)) return error_ = file.failure(writer.errorString().toStdString()), false;
        image_ = QImage();
        if (!file.commit(overwrite)) return error_ = file.failure(file.error()), false;
        return true;
    }

private:
    QString path_;
    PixelLayout layout_;
    QImage::Format format_ = QImage::Format_Invalid;
    QImage image_;
    uint32_t row_ = 0;
};

}   // namespace

std::unique_ptr<ImageReader> openToolkitImage(const QString& path, std::string& why)
{
    auto reader = std::make_unique<ToolkitReader>();
    if (reader->open(path)) return reader;
    why = reader->error();
    return nullptr;
}

bool toolkitCanWrite(const QString& path, std::string& why)
{
    const QByteArray suffix = QFileInfo(path).suffix().toLower().toLatin1();
    std::lock_guard<std::mutex> lock(toolkitMutex);
    if (!suffix.isEmpty() && QImageWriter::supportedImageFormats().contains(suffix)) return true;
    why = "no ." + suffix.toStdString() + " files can be written; name a .tif, .png or .jpg result";
    if (suffix.isEmpty()) why = "a result needs an extension that names its kind (.tif, .png, .jpg ...)";
    return false;
}

std::unique_ptr<ImageWriter> createToolkitImage(const QString& path, const PixelLayout& layout, std::string& why)
{
    auto writer = std::make_unique<ToolkitWriter>();
    if (writer->open(path, layout)) return writer;
    why = writer->error();
    return nullptr;
}

#ifdef OSL_TOOLKIT_IMAGES_MODULE
extern "C" __attribute__((visibility("default"))) const ToolkitImageFunctions* tonemolderToolkitImages()
{
    static const ToolkitImageFunctions functions{&openToolkitImage, &createToolkitImage, &toolkitCanWrite,
                                                 &useTemporaryFileList};
    return &functions;
}
#endif
