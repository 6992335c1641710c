#include "shots/shotedits.h"

#include "db/dbworker.h"
#include "db/statements.h"
#include "shots/shotcolumns.h"

#include <QLocale>
#include <QSet>
#include <QSqlQuery>

namespace {
// An editor opened on a NULL field and left alone hands back its empty
// value; that is no edit, and must never turn NULL into '' or 0.
bool sameValue(const QVariant &stored, const QVariant &value)
{
    const bool storedNull = stored.isNull() || !stored.isValid();
    const bool valueNull = value.isNull() || !value.isValid();
    if (storedNull && !valueNull && value.metaType().id() == QMetaType::QString)
        return value.toString().isEmpty();
    return ShotWriter::sameStored(stored, value);
}

QString idList(const QList<qlonglong> &ids)
{
    QStringList list;
    for (qlonglong id : ids)
        list << QString::number(id);
    return list.join(QStringLiteral(", "));
}

template<typename T> QList<qlonglong> shotsIn(const QList<T> &items, qlonglong (*shotOf)(const T &))
{
    QList<qlonglong> shots;
    QSet<qlonglong> seen;
    for (const T &item : items) {
        const qlonglong shot = shotOf(item);
        if (!seen.contains(shot)) {
            seen.insert(shot);
            shots << shot;
        }
    }
    return shots;
}

qlonglong shotOfChange(const ShotWriter::Change &change)
{
    return change.shot;
}

} // namespace

ShotEdits::ShotEdits(DbWorker *worker, QObject *parent)
    : QObject(parent)
    , worker(worker ? worker : DbWorker::shared())
    , historyState(std::make_shared<std::atomic<int>>(int(History::Unknown)))
{
    qRegisterMetaType<StoredValues>();
}

ShotEdits::~ShotEdits() = default;

QString ShotEdits::progress() const
{
    if (progressTotal < 2)
        return QString();
    return tr("%1 of %2 shots").arg(QLocale().toString(qMin(progressDone, progressTotal)),
                                    QLocale().toString(progressTotal));
}

QString ShotEdits::fieldLabel(const QString &column)
{
    return ShotColumns::label(column);
}

const ShotEdits::Draft *ShotEdits::draft(qlonglong shot, const QString &column) const
{
    const auto found = drafts.constFind(Key(shot, column));
    return found == drafts.cend() ? nullptr : &found.value();
}

QList<ShotEdits::Draft> ShotEdits::draftsOf(qlonglong shot) const
{
    QList<Draft> list;
    for (const Draft &d : drafts) {
        if (d.shot == shot)
            list << d;
    }
    return list;
}

QList<ShotEdits::Draft> ShotEdits::unsaved() const
{
    return inState(State::Unsaved);
}

QList<ShotEdits::Draft> ShotEdits::conflicts() const
{
    return inState(State::Conflict);
}

QList<ShotEdits::Draft> ShotEdits::inState(State state) const
{
    QList<Draft> list;
    for (const Draft &d : drafts) {
        if (d.state == state)
            list << d;
    }
    std::sort(list.begin(), list.end(), [](const Draft &a, const Draft &b) {
        return a.shot != b.shot ? a.shot < b.shot : a.column < b.column;
    });
    return list;
}

int ShotEdits::count(State state) const
{
    int n = 0;
    for (const Draft &d : drafts)
        n += d.state == state ? 1 : 0;
    return n;
}

void ShotEdits::type(qlonglong shot, const QString &column, const QVariant &read, const QVariant &typed)
{
    if (typeOne(shot, column, read, typed))
        emit changed({shot});
}

void ShotEdits::typeMany(const QList<qlonglong> &shots, const QString &column, const QList<QVariant> &reads,
                         const QVariant &typed)
{
    QList<qlonglong> touched;
    for (int i = 0; i < shots.size(); ++i) {
        if (typeOne(shots.at(i), column, reads.value(i), typed))
            touched << shots.at(i);
    }
    if (!touched.isEmpty())
        emit changed(touched);
}

void ShotEdits::discardMany(const QList<qlonglong> &shots, const QString &column)
{
    QList<qlonglong> touched;
    for (qlonglong shot : shots) {
        auto found = drafts.find(Key(shot, column));
        if (found == drafts.end() || found->sending)
            continue;
        drafts.erase(found);
        touched << shot;
    }
    if (!touched.isEmpty())
        emit changed(touched);
}

bool ShotEdits::typeOne(qlonglong shot, const QString &column, const QVariant &read, const QVariant &typed)
{
    const Key key(shot, column);
    auto found = drafts.find(key);
    if (found == drafts.end()) {
        if (sameValue(read, typed))
            return false;
        Draft d;
        d.shot = shot;
        d.column = column;
        d.read = read;
        d.typed = typed;
        drafts.insert(key, d);
        return true;
    }
    Draft &d = found.value();
    if (d.state == State::Conflict) {
        // Typing over a conflict starts from the value now stored.
        d.read = d.stored;
        d.stored = QVariant();
    }
    d.typed = typed;
    if (d.sending) {
        // Typed again while a save is on its way: a draft once that is
        // back, saved when the user moves on as any other.
    } else if (sameValue(d.read, typed)) {
        drafts.erase(found); // back to the value read: nothing to save
    } else {
        d.state = State::Typing;
        d.reason.clear();
    }
    return true;
}

void ShotEdits::save(const QList<qlonglong> &shots, bool retryUnsaved, const QString &column)
{
    const QSet<qlonglong> wanted(shots.cbegin(), shots.cend());
    QList<ShotWriter::Change> changes;
    QList<qlonglong> touched;
    for (Draft &d : drafts) {
        if (!wanted.contains(d.shot) || (!column.isEmpty() && d.column != column))
            continue;
        if (d.sending) {
            d.saveAgain = !sameValue(d.sent, d.typed);
            continue;
        }
        if (d.state != State::Typing && (d.state != State::Unsaved || !retryUnsaved))
            continue;
        d.sending = true;
        d.sent = d.typed;
        d.state = State::Saving;
        changes << ShotWriter::Change{d.shot, d.column, d.read, d.typed};
        touched << d.shot;
    }
    if (changes.isEmpty())
        return;
    std::sort(changes.begin(), changes.end(), [](const ShotWriter::Change &a, const ShotWriter::Change &b) {
        return a.shot != b.shot ? a.shot < b.shot : a.column < b.column;
    });
    emit changed(touched);
    send(changes, Action::Save);
}

void ShotEdits::saveAll()
{
    QList<qlonglong> shots;
    QSet<qlonglong> seen;
    for (const Draft &d : std::as_const(drafts)) {
        if ((d.state == State::Typing || d.state == State::Unsaved) && !seen.contains(d.shot)) {
            seen.insert(d.shot);
            shots << d.shot;
        }
    }
    save(shots);
}

void ShotEdits::resolve(qlonglong shot, const QString &column, bool writeMine)
{
    auto found = drafts.find(Key(shot, column));
    if (found == drafts.end() || found->state != State::Conflict)
        return;
    if (!writeMine) {
        drafts.erase(found);
        emit changed({shot});
        return;
    }
    // Over the value the user was shown, and only over that one.
    Draft &d = found.value();
    d.read = d.stored;
    d.stored = QVariant();
    d.state = State::Saving;
    d.sending = true;
    d.sent = d.typed;
    emit changed({shot});
    send({ShotWriter::Change{shot, column, d.read, d.typed}}, Action::Save);
}

void ShotEdits::discard(qlonglong shot, const QString &column)
{
    auto found = drafts.find(Key(shot, column));
    if (found == drafts.end() || found->sending)
        return;
    drafts.erase(found);
    emit changed({shot});
}

void ShotEdits::discardAll()
{
    discardWhere([](const Draft &) { return true; });
}

void ShotEdits::discardUnsaved()
{
    discardWhere([](const Draft &d) { return d.state == State::Unsaved; });
}

void ShotEdits::discardWhere(const std::function<bool(const Draft &)> &which)
{
    // A draft being sent stays: its answer is on its way.
    QList<qlonglong> shots;
    for (auto it = drafts.begin(); it != drafts.end();) {
        if (it->sending || !which(*it)) {
            ++it;
            continue;
        }
        shots << it->shot;
        it = drafts.erase(it);
    }
    if (!shots.isEmpty())
        emit changed(shots);
}

void ShotEdits::jobStarted(bool writing)
{
    if (writing && ++writes == 1)
        emit savingChanged(true);
    if (++jobs == 1)
        emit busyChanged(true);
}

void ShotEdits::jobEnded(bool writing)
{
    if (writing && writes > 0 && --writes == 0)
        emit savingChanged(false);
    if (jobs > 0 && --jobs == 0)
        emit busyChanged(false);
}

void ShotEdits::checkHistory()
{
    if (history() != History::Unknown)
        return;
    jobStarted(false);
    std::shared_ptr<std::atomic<int>> state = historyState;
    worker->post(
        this,
        [this, state](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            QSqlQuery query(runner.database());
            if (state->load() == int(History::Unknown)
                && runner.run(query, QString::fromLatin1(Sql::historyTableExists)).ok() && query.next())
                state->store(int(query.value(0).toInt() > 0 ? History::Kept : History::Missing));
            return [this]() {
                jobEnded(false);
                emit undoStateChanged();
            };
        },
        tr("Checking for the change history"));
}

void ShotEdits::send(const QList<ShotWriter::Change> &changes, Action action, qint64 undoes)
{
    jobStarted(true);
    std::shared_ptr<std::atomic<int>> state = historyState;
    const QString table = this->table;
    const int shots = int(shotsIn(changes, shotOfChange).size());
    QString what;
    switch (action) {
    case Action::Save:
        what = shots == 1 ? tr("Saving shot %1").arg(changes.first().shot) : tr("Saving %n shots", nullptr, shots);
        break;
    case Action::Undo:
        what = tr("Undoing");
        break;
    case Action::Redo:
        what = tr("Redoing");
        break;
    case Action::Revert:
        what = tr("Undoing a change");
        break;
    }
    worker->post(
        this,
        [this, state, table, changes, action, undoes, shots](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            if (state->load() == int(History::Unknown)) {
                QSqlQuery query(runner.database());
                if (runner.run(query, QString::fromLatin1(Sql::historyTableExists)).ok() && query.next())
                    state->store(int(query.value(0).toInt() > 0 ? History::Kept : History::Missing));
            }
            const bool kept = state->load() == int(History::Kept);
            ShotWriter writer(runner, table);
            writer.setHistory(kept, undoes);
            // One update of the model per chunk, as each is committed.
            const ShotWriter::Result total =
                writer.write(changes, [&session, this, action, shots](const ShotWriter::Result &chunk) {
                    const int chunkShots = int(shotsIn(chunk.written, shotOfChange).size()
                                               + shotsIn(chunk.notSaved, shotOfChange).size());
                    session.deliver([this, chunk, action, shots, chunkShots]() {
                        progressDone += chunkShots;
                        progressTotal = shots;
                        apply(chunk, action);
                    });
                });
            return [this, total, action, shots, kept]() {
                progressDone = progressTotal = 0;
                finish(total, action, shots, !kept);
                jobEnded(true);
            };
        },
        what);
}

void ShotEdits::apply(const ShotWriter::Result &result, Action action)
{
    // What the server holds now: whole rows read under the lock, then the
    // values this action wrote or found.
    StoredValues values = result.rowsRead;
    QSet<qlonglong> shots;
    QList<qlonglong> saveAgain;
    const bool ownDrafts = action == Action::Save;
    for (const ShotWriter::Change &change : result.written) {
        values[change.shot].insert(change.column, change.after);
        shots.insert(change.shot);
        auto found = drafts.find(Key(change.shot, change.column));
        if (found == drafts.end() || !found->sending)
            continue;
        Draft &d = found.value();
        d.sending = false;
        d.read = d.sent;
        if (sameValue(d.typed, d.sent)) {
            drafts.erase(found);
        } else {
            // Typed again while it was on its way: that value is next.
            d.state = State::Typing;
            if (d.saveAgain)
                saveAgain << d.shot;
            d.saveAgain = false;
        }
    }
    // The draft a result of this action settles: the user's own (a save),
    // or one made for the old value an undo could not write. A draft the
    // user is typing into is left alone by an undo: their value wins.
    auto draftFor = [&](const ShotWriter::Change &change) -> Draft * {
        shots.insert(change.shot);
        const Key key(change.shot, change.column);
        auto found = drafts.find(key);
        if (found == drafts.end()) {
            if (ownDrafts)
                return nullptr;
            Draft d;
            d.shot = change.shot;
            d.column = change.column;
            d.read = change.before;
            d.typed = change.after;
            found = drafts.insert(key, d);
        } else if (!ownDrafts && !found->sending) {
            return nullptr;
        }
        found->sending = false;
        found->saveAgain = false;
        return &found.value();
    };
    for (const ShotWriter::Conflict &conflict : result.conflicting) {
        values[conflict.change.shot].insert(conflict.change.column, conflict.stored);
        if (Draft *d = draftFor(conflict.change)) {
            d->state = State::Conflict;
            d->stored = conflict.stored;
        }
    }
    auto keepUnsaved = [&](const ShotWriter::Change &change, const QString &reason) {
        if (Draft *d = draftFor(change)) {
            d->state = State::Unsaved;
            d->reason = reason;
        }
    };
    for (const ShotWriter::Change &change : result.gone)
        keepUnsaved(change, tr("Shot %1 is no longer in the database (another client deleted it).").arg(change.shot));
    if (!result.notSaved.isEmpty()) {
        QStringList columns;
        for (const ShotWriter::Change &change : result.notSaved) {
            if (!columns.contains(change.column))
                columns << change.column;
        }
        const QString reason = describeFailure(result.failure, columns);
        for (const ShotWriter::Change &change : result.notSaved)
            keepUnsaved(change, reason);
    }
    if (!values.isEmpty())
        emit stored(values);
    if (!shots.isEmpty())
        emit changed(QList<qlonglong>(shots.cbegin(), shots.cend()));
    if (!saveAgain.isEmpty())
        save(saveAgain);
}

QString ShotEdits::describeFailure(const StatementResult &failure, const QStringList &columns) const
{
    QStringList labels;
    for (const QString &column : columns)
        labels << fieldLabel(column);
    const QString fields = labels.join(QStringLiteral(", "));
    switch (failure.failure) {
    case StatementFailure::TimedOut:
        return tr("%1. It may or may not have reached the database; the shot shows what the database holds. "
                  "Your value is kept, not saved.")
            .arg(failure.error);
    case StatementFailure::ConnectionLost:
        return tr("The connection to the server is lost (%1). Your value is kept, not saved; the next try "
                  "reconnects.")
            .arg(failure.error);
    case StatementFailure::Cancelled:
        return tr("The save was cancelled while it waited for the server. Your value is kept, not saved.");
    case StatementFailure::Refused:
    case StatementFailure::None:
        break;
    }
    // The column the server named, which need not be one the user changed
    // (the history's columns are written in the same transaction).
    const QString named = failure.refusedColumn();
    QString subject = fields;
    if (!named.isEmpty())
        subject = columns.contains(named) ? fieldLabel(named) : tr("the column %1").arg(named);
    QString why;
    switch (failure.refusal()) {
    case ServerError::Refusal::TooLong:
        why = tr("the value is longer than %1 can hold").arg(subject);
        break;
    case ServerError::Refusal::BadValue:
        why = tr("the value is not one %1 can hold").arg(subject);
        break;
    case ServerError::Refusal::NoRight:
        why = tr("the database does not let you change %1").arg(fields);
        break;
    case ServerError::Refusal::NoSuchTable:
        why = tr("a table the change needs is missing");
        break;
    case ServerError::Refusal::None:
    case ServerError::Refusal::Other:
        why = tr("the database refused %1").arg(fields);
        break;
    }
    why[0] = why.at(0).toUpper();
    return tr("%1 (the server said: %2). The database keeps its previous value; yours is kept, not saved.")
        .arg(why, failure.error);
}

void ShotEdits::finish(const ShotWriter::Result &result, Action action, int shots, bool noHistoryNote)
{
    if (result.reconnected)
        emit reconnected();
    const Touched touched = touchedOf(result);
    if (result.changeSet) {
        if (action == Action::Undo) {
            redoStack << result.changeSet;
        } else {
            undoStack << result.changeSet;
            if (action != Action::Redo)
                redoStack.clear();
        }
        touchedBy.insert(result.changeSet, touched);
        // Only what the stacks hold is worth knowing.
        for (auto it = touchedBy.begin(); it != touchedBy.end();) {
            if (undoStack.contains(it.key()) || redoStack.contains(it.key()))
                ++it;
            else
                it = touchedBy.erase(it);
        }
    }
    QList<qlonglong> changedShots = shotsIn(result.written, shotOfChange);
    if (!changedShots.isEmpty())
        emit historyChanged(changedShots);
    emit undoStateChanged();
    if (noHistoryNote && !historyNoted) {
        historyNoted = true;
        emit message(tr("Edits are saved but not recorded: the database has no change history, so Undo, Redo and "
                        "History are off. An administrator can add it with \"tavelo-sync --setup-database\"."),
                     false);
    }

    const bool clean = result.notSaved.isEmpty() && result.gone.isEmpty() && result.conflicting.isEmpty();
    QString verb;
    switch (action) {
    case Action::Save:
        verb = tr("saved");
        break;
    case Action::Undo:
    case Action::Revert:
        verb = tr("undone");
        break;
    case Action::Redo:
        verb = tr("redone");
        break;
    }
    if (clean) {
        if (action == Action::Save && shots > 1)
            emit message(tr("%n shots saved", nullptr, shots), false);
        else if (action != Action::Save && touched.shots.isEmpty())
            emit message(action == Action::Redo ? tr("Nothing to redo: the fields hold those values already.")
                                                : tr("Nothing to undo: the fields hold those values already."),
                         false);
        else if (action != Action::Save)
            emit message((action == Action::Redo ? tr("Redone: %1") : tr("Undone: %1")).arg(describe(touched)),
                         false);
        else
            emit message(QString(), false);
        return;
    }

    if (shots == 1 && action == Action::Save) {
        const qlonglong shot = !result.notSaved.isEmpty() ? result.notSaved.first().shot
            : !result.gone.isEmpty()                      ? result.gone.first().shot
                                                          : result.conflicting.first().change.shot;
        QStringList text;
        if (!result.conflicting.isEmpty()) {
            QStringList labels;
            for (const ShotWriter::Conflict &conflict : result.conflicting)
                labels << fieldLabel(conflict.change.column);
            text << tr("Shot %1: another client changed %2 after you read it. Nothing was overwritten; choose "
                       "which value to keep.")
                        .arg(shot)
                        .arg(labels.join(QStringLiteral(", ")));
        }
        if (!result.gone.isEmpty())
            text << tr("Shot %1 was not saved: it is no longer in the database (another client deleted it).")
                        .arg(shot);
        if (!result.notSaved.isEmpty()) {
            QStringList labels;
            QStringList columns;
            for (const ShotWriter::Change &change : result.notSaved) {
                labels << fieldLabel(change.column);
                columns << change.column;
            }
            text << tr("Shot %1 was not saved (%2): %3")
                        .arg(shot)
                        .arg(labels.join(QStringLiteral(", ")), describeFailure(result.failure, columns));
        }
        emit message(text.join(QLatin1Char(' ')), true);
        return;
    }

    // Several shots: per field, how many took the value and what kept the others.
    QStringList columns;
    auto note = [&columns](const QString &column) {
        if (!columns.contains(column))
            columns << column;
    };
    QHash<QString, int> written;
    QHash<QString, QList<qlonglong>> conflicting;
    QHash<QString, QList<qlonglong>> gone;
    QHash<QString, int> notSaved;
    for (const ShotWriter::Change &change : result.written) {
        note(change.column);
        ++written[change.column];
    }
    for (const ShotWriter::Conflict &conflict : result.conflicting) {
        note(conflict.change.column);
        conflicting[conflict.change.column] << conflict.change.shot;
    }
    for (const ShotWriter::Change &change : result.gone) {
        note(change.column);
        gone[change.column] << change.shot;
    }
    for (const ShotWriter::Change &change : result.notSaved) {
        note(change.column);
        ++notSaved[change.column];
    }
    QStringList problems;
    for (const QString &column : std::as_const(columns)) {
        QStringList why;
        if (conflicting.contains(column))
            why << tr("another client changed shots %1 after you read them; nothing of theirs was overwritten, "
                      "choose which value to keep")
                       .arg(idList(conflicting.value(column)));
        if (gone.contains(column))
            why << tr("shots %1 are no longer in the database").arg(idList(gone.value(column)));
        if (notSaved.contains(column))
            why << tr("%n not reached", nullptr, notSaved.value(column)) + QStringLiteral(" (")
                    + describeFailure(result.failure, {column}) + QLatin1Char(')');
        if (why.isEmpty())
            continue;
        const int total = written.value(column) + int(conflicting.value(column).size())
            + int(gone.value(column).size()) + notSaved.value(column);
        problems << tr("%1 %2 on %3 of %4 shots: %5")
                        .arg(fieldLabel(column), verb)
                        .arg(written.value(column))
                        .arg(total)
                        .arg(why.join(QStringLiteral("; ")));
    }
    emit message(problems.join(QStringLiteral(". ")) + QLatin1Char('.'), true);
}

void ShotEdits::undo(qint64 changeSet)
{
    if (undoStack.isEmpty() || (changeSet && !undoStack.removeOne(changeSet)))
        return;
    revert(changeSet ? changeSet : undoStack.takeLast(), Action::Undo);
    emit undoStateChanged();
}

void ShotEdits::redo(qint64 changeSet)
{
    if (redoStack.isEmpty() || (changeSet && !redoStack.removeOne(changeSet)))
        return;
    revert(changeSet ? changeSet : redoStack.takeLast(), Action::Redo);
    emit undoStateChanged();
}

ShotEdits::Touched ShotEdits::nextUndo() const
{
    if (undoStack.isEmpty())
        return {};
    Touched touched = touchedBy.value(undoStack.last());
    touched.changeSet = undoStack.last();
    return touched;
}

ShotEdits::Touched ShotEdits::nextRedo() const
{
    if (redoStack.isEmpty())
        return {};
    Touched touched = touchedBy.value(redoStack.last());
    touched.changeSet = redoStack.last();
    return touched;
}

ShotEdits::Touched ShotEdits::touchedOf(const ShotWriter::Result &result) const
{
    Touched touched;
    touched.changeSet = result.changeSet;
    touched.shots = shotsIn(result.written, shotOfChange);
    for (const ShotWriter::Change &change : result.written) {
        if (!touched.columns.contains(change.column))
            touched.columns << change.column;
    }
    // In the order of the form's fields, as the user reads them.
    auto place = [](const QString &column) {
        const QList<ShotColumns::Column> &all = ShotColumns::all();
        for (int i = 0; i < all.size(); ++i) {
            if (column == QLatin1String(all.at(i).name))
                return i;
        }
        return int(all.size());
    };
    std::stable_sort(touched.columns.begin(), touched.columns.end(),
                     [&place](const QString &a, const QString &b) { return place(a) < place(b); });
    // A save of one shot reads its whole row under the lock.
    if (touched.shots.size() == 1)
        touched.filename =
            result.rowsRead.value(touched.shots.first()).value(QStringLiteral("filename")).toString();
    return touched;
}

QString ShotEdits::describe(const Touched &touched)
{
    QStringList labels;
    for (const QString &column : touched.columns)
        labels << fieldLabel(column);
    const QString fields = labels.join(QStringLiteral(", "));
    if (touched.shots.size() != 1)
        return tr("%1 of %n shots", nullptr, int(touched.shots.size())).arg(fields);
    const QString shot = QString::number(touched.shots.first());
    if (touched.filename.isEmpty())
        return tr("%1 of shot %2").arg(fields, shot);
    return tr("%1 of shot %2, %3").arg(fields, shot, touched.filename);
}

void ShotEdits::revertChangeSet(qint64 changeSet)
{
    revert(changeSet, Action::Revert);
}

void ShotEdits::revert(qint64 changeSet, Action action)
{
    jobStarted(true);
    std::shared_ptr<std::atomic<int>> state = historyState;
    const QString table = this->table;
    worker->post(
        this,
        [this, state, table, changeSet, action](DbSession &session) -> DbWorker::Continuation {
            StatementRunner runner = session.runner();
            // The change set's rows say what each field held before and after.
            QSqlQuery query(runner.database());
            const StatementResult read =
                runner.run(query, QString::fromLatin1(Sql::changesOfSet), {changeSet});
            QList<ShotWriter::Change> changes;
            while (read.ok() && query.next())
                changes << ShotWriter::Change{query.value(0).toLongLong(), query.value(1).toString(),
                                              query.value(3), query.value(2)};
            ShotWriter::Result total;
            if (!read.ok()) {
                total.failure = read;
            } else {
                state->store(int(History::Kept));
                ShotWriter writer(runner, table);
                writer.setHistory(true, changeSet);
                total = writer.write(changes, [&session, this, action](const ShotWriter::Result &chunk) {
                    session.deliver([this, chunk, action]() { apply(chunk, action); });
                });
            }
            const int shots = int(shotsIn(changes, shotOfChange).size());
            return [this, total, action, shots, read, changeSet]() {
                if (!read.ok()) {
                    // Nothing was undone; the change stays where it was.
                    if (action == Action::Undo)
                        undoStack << changeSet;
                    else if (action == Action::Redo)
                        redoStack << changeSet;
                    emit message(tr("Nothing was undone: the change history could not be read (%1).").arg(read.error),
                                 true);
                    emit undoStateChanged();
                } else {
                    finish(total, action, shots, false);
                }
                jobEnded(true);
            };
        },
        action == Action::Redo ? tr("Redoing") : tr("Undoing"));
}
