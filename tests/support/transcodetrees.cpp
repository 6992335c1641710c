#include "transcodetrees.h"

TwoWorkstations twoWorkstations(const QString &outputRoot)
{
    TwoWorkstations pair;
    pair.first.clips = {QStringLiteral("raw/Day1/CardB/00001.MTS")};
    pair.first.presets = {Preset::Dv};
    pair.first.outputRoot = outputRoot;
    pair.first.host = QStringLiteral("ws1");
    pair.first.pid = 11;
    pair.second = pair.first;
    pair.second.clips = {QStringLiteral("raw/Day1/CardA/00001.MTS"), QStringLiteral("raw/Day1/CardB/00001.MTS")};
    pair.second.host = QStringLiteral("ws2");
    pair.second.pid = 22;
    return pair;
}
