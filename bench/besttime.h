#pragma once

// Keeps the shortest successful time of repeated runs; a failure (a
// negative time) sticks, so a figure is never printed for a run that failed.
inline void keepBest(double &best, double seconds)
{
    if (best < 0)
        return;
    if (seconds < 0)
        best = -1;
    else if (best == 0 || seconds < best)
        best = seconds;
}
