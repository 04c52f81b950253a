// Turns the user manual, written as Markdown chapters, into manual.pdf: a
// title page with the contents, one chapter per page break, numbered pages.
// Qt's own text document lays the pages out and its PDF writer prints them,
// so the build needs nothing beyond the toolkit the program uses.
//
//   makemanual -o manual.pdf [--logo logo.png] [--version 1.9] [--preview DIR] chapter.md...
//
// --preview also writes every page as a PNG picture into DIR.
//
// Pictures named in the chapters (![caption](images/x.png)) are read relative
// to the chapter's folder and shrunk to the text width when wider.
#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>

#include <cstdio>
#include <vector>

namespace {

// Layout units are pixels at 96 per inch; the painter scales them to the PDF.
constexpr double LayoutDpi = 96.0;
constexpr double MmToLayout = LayoutDpi / 25.4;
const QSizeF PageSize(210.0 * MmToLayout, 297.0 * MmToLayout);   // A4
constexpr double Margin = 20.0 * MmToLayout;
const QColor HeadingColour(0x1f, 0x3a, 0x5f);

struct Options {
    QString output;
    QString logo;
    QString version;
    QString previewDir;
    QStringList chapters;
};

bool parseArguments(const QStringList& args, Options& o)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == QLatin1String("-o") && hasValue) o.output = args[++i];
        else if (a == QLatin1String("--logo") && hasValue) o.logo = args[++i];
        else if (a == QLatin1String("--version") && hasValue) o.version = args[++i];
        else if (a == QLatin1String("--preview") && hasValue) o.previewDir = args[++i];
        else if (a.startsWith(QLatin1Char('-'))) return false;
        else o.chapters.append(a);
    }
    return !o.output.isEmpty() && !o.chapters.isEmpty();
}

// The chapters as one Markdown text; relative picture paths become absolute,
// so chapters may live in different folders.
bool readChapters(const QStringList& files, QString& markdown, QString& error)
{
    for (const QString& name : files) {
        QFile f(name);
        if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
            error = QStringLiteral("cannot read %1: %2").arg(name, f.errorString());
            return false;
        }
        QString text = QString::fromUtf8(f.readAll());
        const QString dir = QFileInfo(name).absolutePath() + QLatin1Char('/');
        static const QRegularExpression relativePicture(QStringLiteral(R"(\]\((?![a-z]+:|/)([^)\s]+)\))"));
        text.replace(relativePicture, QStringLiteral("](") + dir + QStringLiteral("\\1)"));
        markdown += text + QLatin1String("\n\n");
    }
    return true;
}

// Pictures: loaded into the document, at most as wide as the text.
bool loadPictures(QTextDocument& doc, double textWidth, QString& error)
{
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment frag = it.fragment();
            QTextImageFormat img = frag.charFormat().toImageFormat();
            if (!img.isValid()) continue;
            QImage picture(img.name());
            if (picture.isNull()) {
                error = QStringLiteral("cannot read the picture %1").arg(img.name());
                return false;
            }
            doc.addResource(QTextDocument::ImageResource, QUrl(img.name()), picture);
            // Screenshots are taken at 96 pixels per inch: one pixel, one unit.
            double w = picture.width(), h = picture.height();
            if (w > textWidth) {
                h *= textWidth / w;
                w = textWidth;
            }
            img.setWidth(w);
            img.setHeight(h);
            QTextCursor c(&doc);
            c.setPosition(frag.position());
            c.setPosition(frag.position() + frag.length(), QTextCursor::KeepAnchor);
            c.setCharFormat(img);
        }
    }
    return true;
}

// Headings in colour, every chapter on a new page, code on a grey ground,
// tables ruled and as wide as the text.
void styleDocument(QTextDocument& doc)
{
    bool firstChapter = true;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        QTextCursor c(b);
        QTextBlockFormat bf = b.blockFormat();
        if (bf.headingLevel() > 0) {
            QTextCharFormat cf;
            cf.setForeground(HeadingColour);
            c.select(QTextCursor::BlockUnderCursor);
            c.mergeCharFormat(cf);
            bf.setTopMargin(bf.headingLevel() == 1 ? 0 : 14);
            bf.setBottomMargin(6);
            if (bf.headingLevel() == 1) {
                if (!firstChapter) bf.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
                firstChapter = false;
            }
            QTextCursor(b).setBlockFormat(bf);
        } else if (bf.hasProperty(QTextFormat::BlockCodeLanguage) || bf.hasProperty(QTextFormat::BlockCodeFence)) {
            bf.setBackground(QColor(0xf0, 0xf0, 0xf0));
            bf.setLeftMargin(6);
            QTextCursor(b).setBlockFormat(bf);
        }
    }
    std::vector<QTextTable*> tables;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        auto* t = qobject_cast<QTextTable*>(QTextCursor(b).currentTable());
        if (t && (tables.empty() || tables.back() != t)) tables.push_back(t);
    }
    for (QTextTable* t : tables) {
        QTextTableFormat tf = t->format();
        tf.setBorder(0.75);
        tf.setBorderStyle(QTextFrameFormat::BorderStyle_Solid);
        tf.setBorderBrush(QColor(0x90, 0x90, 0x90));
        tf.setCellSpacing(0);
        tf.setCellPadding(4);
        tf.setHeaderRowCount(1);
        tf.setWidth(QTextLength(QTextLength::PercentageLength, 100));
        tf.setTopMargin(4);
        tf.setBottomMargin(8);
        t->setFormat(tf);
    }
}

struct Chapter {
    QString title;
    int position;   // of its heading in the document
    QTextTableCell pageCell;
};

// The title page: the program's name and picture, then the contents, with
// one row per chapter whose page number is filled in once the pages are known.
std::vector<Chapter> insertTitlePage(QTextDocument& doc, const Options& o)
{
    std::vector<std::pair<QString, int>> headings;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next())
        if (b.blockFormat().headingLevel() == 1) headings.emplace_back(b.text(), 0);

    QTextCursor c(&doc);
    c.movePosition(QTextCursor::Start);
    c.insertBlock();   // the title page's blocks go before the first chapter
    c.movePosition(QTextCursor::Start);

    QTextBlockFormat centred;
    centred.setAlignment(Qt::AlignHCenter);
    centred.setHeadingLevel(0);
    QTextCharFormat plain;
    plain.setForeground(Qt::black);

    c.setBlockFormat(centred);
    if (!o.logo.isEmpty()) {
        QImage logo(o.logo);
        if (!logo.isNull()) {
            doc.addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("logo")), logo);
            QTextImageFormat img;
            img.setName(QStringLiteral("logo"));
            img.setWidth(logo.width() * 0.8);
            img.setHeight(logo.height() * 0.8);
            c.insertImage(img);
        }
    }
    QTextCharFormat title = plain;
    title.setFontPointSize(26);
    title.setFontWeight(QFont::Bold);
    title.setForeground(HeadingColour);
    c.insertBlock(centred);
    c.insertText(QStringLiteral("Osterlane Color Tonemolder"), title);
    QTextCharFormat subtitle = plain;
    subtitle.setFontPointSize(16);
    c.insertBlock(centred);
    c.insertText(QStringLiteral("User manual"), subtitle);
    if (!o.version.isEmpty()) {
        c.insertBlock(centred);
        c.insertText(QStringLiteral("Version %1").arg(o.version), plain);
    }

    QTextBlockFormat left;
    left.setTopMargin(24);
    left.setBottomMargin(6);
    c.insertBlock(left);
    QTextCharFormat contents = title;
    contents.setFontPointSize(16);
    c.insertText(QStringLiteral("Contents"), contents);

    QTextTableFormat tf;
    tf.setBorder(0);
    tf.setCellPadding(2);
    tf.setWidth(QTextLength(QTextLength::PercentageLength, 100));
    tf.setColumnWidthConstraints({QTextLength(QTextLength::PercentageLength, 88),
                                  QTextLength(QTextLength::PercentageLength, 12)});
    QTextTable* table = c.insertTable(int(headings.size()), 2, tf);
    std::vector<Chapter> chapters;
    for (size_t i = 0; i < headings.size(); ++i) {
        QTextCursor cell = table->cellAt(int(i), 0).firstCursorPosition();
        cell.insertText(headings[i].first, plain);
        QTextCursor number = table->cellAt(int(i), 1).firstCursorPosition();
        QTextBlockFormat right;
        right.setAlignment(Qt::AlignRight);
        number.setBlockFormat(right);
        chapters.push_back({headings[i].first, 0, table->cellAt(int(i), 1)});
    }
    // The first chapter starts on a page of its own, after the contents.
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        if (b.blockFormat().headingLevel() != 1) continue;
        QTextBlockFormat bf = b.blockFormat();
        bf.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
        QTextCursor(b).setBlockFormat(bf);
        break;
    }
    size_t k = 0;
    for (QTextBlock b = doc.begin(); b.isValid() && k < chapters.size(); b = b.next())
        if (b.blockFormat().headingLevel() == 1) chapters[k++].position = b.position();
    return chapters;
}

int pageOf(QTextDocument& doc, int position)
{
    const QTextBlock b = doc.findBlock(position);
    const QRectF r = doc.documentLayout()->blockBoundingRect(b);
    return int(r.top() / PageSize.height()) + 1;
}

// One page, in layout units: its slice of the document, and below it the
// running footer with the page number (not on the title page).
void drawPage(QPainter& p, QTextDocument& doc, int page)
{
    const QRectF view(0, page * PageSize.height(), PageSize.width(), PageSize.height());
    p.save();
    p.translate(0, -view.top());
    p.setClipRect(view);
    QAbstractTextDocumentLayout::PaintContext ctx;
    ctx.clip = view;
    ctx.palette.setColor(QPalette::Text, Qt::black);
    doc.documentLayout()->draw(&p, ctx);
    p.restore();
    if (page == 0) return;
    QFont footer = doc.defaultFont();
    footer.setPointSizeF(8);
    p.setFont(footer);
    p.setPen(QColor(0x60, 0x60, 0x60));
    const QRectF line(Margin, PageSize.height() - Margin * 0.75, PageSize.width() - 2 * Margin, Margin * 0.4);
    p.drawText(line, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Osterlane Color Tonemolder - User manual"));
    p.drawText(line, Qt::AlignRight | Qt::AlignVCenter, QString::number(page + 1));
}

bool print(QTextDocument& doc, const QString& output)
{
    QPdfWriter writer(output);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setResolution(300);
    writer.setTitle(QStringLiteral("Osterlane Color Tonemolder - User manual"));
    writer.setCreator(QStringLiteral("Osterlane Color Tonemolder"));

    QPainter p;
    if (!p.begin(&writer)) return false;
    const double scale = writer.resolution() / LayoutDpi;
    p.scale(scale, scale);
    for (int page = 0; page < doc.pageCount(); ++page) {
        if (page > 0) writer.newPage();
        drawPage(p, doc, page);
    }
    return p.end();
}

// The same pages as pictures, to look at the layout without a PDF viewer.
bool preview(QTextDocument& doc, const QString& dir)
{
    for (int page = 0; page < doc.pageCount(); ++page) {
        QImage image(PageSize.toSize(), QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        drawPage(p, doc, page);
        p.end();
        if (!image.save(QStringLiteral("%1/page-%2.png").arg(dir).arg(page + 1, 2, 10, QLatin1Char('0')))) return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // No display is needed to lay out and print text.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    Options o;
    if (!parseArguments(app.arguments(), o)) {
        std::fprintf(stderr, "usage: makemanual -o OUT.pdf [--logo PNG] [--version V] [--preview DIR] CHAPTER.md...\n");
        return 2;
    }
    QString markdown, error;
    if (!readChapters(o.chapters, markdown, error)) {
        std::fprintf(stderr, "makemanual: %s\n", qPrintable(error));
        return 1;
    }

    QTextDocument doc;
    QFont font(QStringLiteral("DejaVu Sans"), 10);
    font.setStyleHint(QFont::SansSerif);
    doc.setDefaultFont(font);
    doc.setMarkdown(markdown, QTextDocument::MarkdownDialectGitHub);
    doc.setPageSize(PageSize);
    QTextFrameFormat root = doc.rootFrame()->frameFormat();
    root.setMargin(Margin);
    doc.rootFrame()->setFrameFormat(root);

    if (!loadPictures(doc, PageSize.width() - 2 * Margin, error)) {
        std::fprintf(stderr, "makemanual: %s\n", qPrintable(error));
        return 1;
    }
    styleDocument(doc);
    std::vector<Chapter> chapters = insertTitlePage(doc, o);
    if (chapters.empty()) {
        std::fprintf(stderr, "makemanual: no chapter (a line starting with \"# \") found\n");
        return 1;
    }
    // The numbers are short enough never to wrap, so filling them in keeps
    // every chapter on the page just measured.
    std::vector<int> pages;
    for (const Chapter& ch : chapters) pages.push_back(pageOf(doc, ch.position));
    for (size_t i = 0; i < chapters.size(); ++i)
        chapters[i].pageCell.firstCursorPosition().insertText(QString::number(pages[i]));

    if (!print(doc, o.output)) {
        std::fprintf(stderr, "makemanual: cannot write %s\n", qPrintable(o.output));
        return 1;
    }
    if (!o.previewDir.isEmpty() && !preview(doc, o.previewDir)) {
        std::fprintf(stderr, "makemanual: cannot write the page pictures into %s\n", qPrintable(o.previewDir));
        return 1;
    }
    return 0;
}
