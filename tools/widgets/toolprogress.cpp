#include "tools/widgets/toolprogress.h"

namespace {

// Runs shorter than this finish without a progress window.
constexpr int ShowAfterMs = 800;

}   // namespace

ToolProgress::ToolProgress(QWidget* parent, const QString& label) : window_(parent)
{
    window_.setWindowModality(Qt::WindowModal);
    window_.setCancelButton(nullptr);
    window_.setLabelText(label);
    window_.setMinimumDuration(ShowAfterMs);
    window_.setRange(0, 0);
    window_.setValue(0);
}

ToolProgress::~ToolProgress()
{
    window_.reset();
}

void ToolProgress::advance(int done, int total)
{
    if (total <= 0) return;
    if (window_.maximum() != total) window_.setRange(0, total);
    window_.setValue(done);
}
