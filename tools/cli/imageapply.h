// Images through a chain of profiles, for the command line: read with the
// toolkit's image reader, transformed in strips of rows, written as a new
// file. Alpha is kept; 8 or 16 bits per channel.
#pragma once

#include "profiles/builtinspaces.h"

#include <QString>
#include <QStringList>

#include <functional>

struct ApplyRequest {
    QString input;
    QString output;
    QStringList chain;      // profile names, first the image's, last the output's
    int intent = 0;         // ICC intent for every profile of the chain
    bool blackPointCompensation = false;
    int bits = 0;           // 8 or 16 per channel; 0: as the input
};

// Called with rows done and rows in all.
using ApplyProgress = std::function<void(int done, int total)>;

struct ApplyResult {
    bool ok = false;
    QString message;
};

ApplyResult applyProfiles(const ApplyRequest& request, const ProfileOpener& open = openProfileByName,
                          const ApplyProgress& progress = {});
