#include "shotseed.h"

#include "db/dbworker.h"
#include "shots/shottablemodel.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include <cstdio>

namespace {
constexpr int rowsPerInsert = 2000;

bool exec(QSqlQuery &query, const QString &statement)
{
    if (query.exec(statement))
        return true;
    std::fprintf(stderr, "seed: %s\n", qPrintable(query.lastError().text()));
    return false;
}
} // namespace

void BenchSeed::report(const char *what, double value, const char *unit, double target)
{
    std::printf("%-58s %10.1f %-3s (target < %.0f %s: %s)\n", what, value, unit, target, unit,
                value >= 0 && value < target ? "met" : "MISSED"); // -1: not measured
    std::fflush(stdout);
}

// Multi-row INSERTs in one transaction keep seeding to seconds.
int BenchSeed::seed(QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (!exec(query, "DELETE FROM shots") || !exec(query, "DELETE FROM projects")
        || !exec(query, "ALTER TABLE shots AUTO_INCREMENT = 1")
        || !exec(query, "INSERT INTO projects (name, description) VALUES "
                        "('Small project A', NULL), ('Large project', '100,000 shots'), "
                        "('Small project B', NULL)"))
        return 0;
    if (!exec(query, "SELECT id FROM projects WHERE name = 'Large project'") || !query.next())
        return 0;
    const int large = query.value(0).toInt();
    const int others[] = {large - 1, large + 1};

    db.transaction();
    QString statement;
    for (int first = 0; first < totalShots; first += rowsPerInsert) {
        statement = QStringLiteral(
            "INSERT INTO shots (project, filename, MD5, SHA1, location, scene, shot, prod, "
            "duration, quality, takes, related, shottype, descid, notes) VALUES ");
        for (int i = first; i < first + rowsPerInsert && i < totalShots; ++i) {
            // Every third shot belongs to the large project.
            const int project = i % 3 == 1 ? large : others[i % 3 == 0 ? 0 : 1];
            const QString md5 = QStringLiteral("%1").arg(uint(i) * 2654435761u, 32, 16, QLatin1Char('0'));
            if (i != first)
                statement += QLatin1Char(',');
            statement += QStringLiteral("(%1,'raw/Card%2/%3.MTS','%4','%5','<p>Pier %6</p>','%7','%8',%9,"
                                        "'%10',%11,'%12',NULL,'Wide',NULL,'Take notes %13')")
                             .arg(project)
                             .arg(QChar('A' + i % 26))
                             .arg(i, 6, 10, QLatin1Char('0'))
                             .arg(md5, md5 + md5.left(8))
                             .arg(i % 40)
                             .arg((i * 7919) % 1000)
                             .arg(QChar('A' + i % 5))
                             .arg(i % 2)
                             .arg(i % 300)
                             .arg(i % 120)
                             .arg(i % 9)
                             .arg(i);
        }
        if (!exec(query, statement)) {
            db.rollback();
            return 0;
        }
    }
    db.commit();
    return large;
}

bool BenchSeed::waitIdle(const ShotTableModel *model, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while ((model->isBusy() || DbWorker::shared()->isBusy()) && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    return !model->isBusy();
}

BenchSeed::StallMeter::StallMeter()
{
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, this, [this]() {
        const qint64 now = clock.nsecsElapsed();
        worstNs = qMax(worstNs, now - lastNs);
        lastNs = now;
    });
    clock.start();
    timer.start();
}

void BenchSeed::StallMeter::reset()
{
    lastNs = clock.nsecsElapsed();
    worstNs = 0;
}

double BenchSeed::StallMeter::worstMs() const
{
    return qMax(worstNs, clock.nsecsElapsed() - lastNs) / 1e6;
}
