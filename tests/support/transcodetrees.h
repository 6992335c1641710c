#pragma once

#include "transcode/transcodescan.h"

#include <QString>

// Two workstations transcoding one root into one shared output tree, DV
// ticked. The first walked before card A was copied and sees only card B's
// 00001.MTS; the second sees both cards' 00001.MTS. Each has a host and
// process of its own, so their temporary names differ.
struct TwoWorkstations
{
    TranscodeScan::Input first;
    TranscodeScan::Input second;
};

TwoWorkstations twoWorkstations(const QString &outputRoot);
