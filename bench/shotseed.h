#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSqlDatabase>
#include <QTimer>

class ShotTableModel;

// What the browsing benchmarks share: the seeded project and the way a
// figure is printed beside its target.

namespace BenchSeed {
inline constexpr int totalShots = 300000;
inline constexpr int projectShots = 100000;

// Prints one figure beside its target, and whether it was met.
void report(const char *what, double value, const char *unit, double target);

// 300,000 shots in three projects; the middle one, "Large project", holds
// 100,000. Returns that project's id, or 0 when seeding failed (the reason
// is printed).
int seed(QSqlDatabase &db);

// Runs the event loop until the model's database work (reads, saves) is
// done: the window never waits for the server itself, so a figure is the
// time until the result is shown. False after the timeout.
bool waitIdle(const ShotTableModel *model, int timeoutMs = 120000);

// Ticks in every iteration of the GUI thread's event loop (nested loops
// included) and keeps the longest gap between two ticks.
class StallMeter : public QObject
{
public:
    StallMeter();
    void reset();
    double worstMs() const;

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 lastNs = 0;
    qint64 worstNs = 0;
};
} // namespace BenchSeed
