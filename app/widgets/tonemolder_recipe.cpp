// The recipe as the controls of the main window hold it, and the abstract
// profile built from it.
#include "app/widgets/tonemolder.h"

#include "app/core/cubecache.h"
#include "app/core/previewmodel.h"
#include "app/core/recipe.h"
#include "cam16/widgets/viewingconditions.h"
#include "curves/widgets/channelmodifier.h"
#include "ui_tonemolder.h"

#include <QSettings>

Recipe Tonemolder::recipeFromControls() const
{
    Recipe r;
    r.description = ui_->edit_description->text();
    r.copyright = ui_->edit_copyright->text();
    r.generator = ui_->generator->currentIndex();
    r.resolution = resolutionPreferences(*settings_);

    r.softproofProfile = ui_->iccProfile->currentFileName();
    r.softproofIntent = ui_->comboIntent->currentIndex();
    for (int i = 0; i < SoftproofEditors; ++i) r.channels[size_t(i)] = modifiers_[size_t(i)]->curve();

    r.sourceConditions = viewingConditions_->presetAt(ui_->comboSourceVC->currentIndex());
    r.destConditions = viewingConditions_->presetAt(ui_->comboDestVC->currentIndex());
    r.separateDestination = ui_->cbDestVC->isChecked();
    for (int i = 0; i < CorrelateEditors; ++i) r.correlates[size_t(i)] = modifiers_[size_t(CorrelateSlot + i)]->curve();

    r.lutProfile = ui_->iccProfileLUT->currentFileName();
    r.lutIntent = ui_->comboIntentLUT->currentIndex();
    r.cubeFile = cubeFileName_;
    r.cubeFormat = cubeFileName_.isEmpty() ? QString() : lutFormatKey(cubeFileName_);
    return r;
}

ProfileOpener Tonemolder::selectedProfileOpener() const
{
    return selectionOpener({{ui_->iccProfile->currentFileName(), ui_->iccProfile->currentName()},
                            {ui_->iccProfileLUT->currentFileName(), ui_->iccProfileLUT->currentName()}});
}
