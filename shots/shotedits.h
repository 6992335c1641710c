#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <functional>
#include <memory>

#include "shots/shotwriter.h"

class DbWorker;

// Values the server holds now, per shot and column (after a save, an undo,
// or a conflict that showed another client's value).
using StoredValues = QHash<qlonglong, QHash<QString, QVariant>>;

// Every edit in progress, and what happens to it: the one home of the
// values the user typed until the database holds them.
//
// A draft belongs to a shot and a column, never to a row on screen, so a
// find, a sort, a refresh or another project shown meanwhile keeps it, and
// the shot shows it again when it is shown. A draft is typed (not saved
// yet), being saved, not saved (the server refused it, did not answer, or
// was not reached; the reason is kept), or in conflict (another client
// stored another value after this client read it; both are kept until the
// user chooses). Saves run on the database thread, one after the other in
// the order asked for; whatever the user types meanwhile stays a draft and
// is saved after. Each save, bulk edit, conflict resolution and undo is
// recorded in the shared history when the database has that table, and
// this window's own actions can be undone and redone.
//
// Widget-free: the grid and the form show the drafts through the model,
// and tests drive the rules without a screen.
class ShotEdits : public QObject
{
    Q_OBJECT

public:
    enum class State { Typing, Saving, Unsaved, Conflict };

    struct Draft
    {
        qlonglong shot = 0;
        QString column;
        QVariant read;   // the stored value the edit started from; a save is checked against it
        QVariant typed;  // the user's value
        State state = State::Typing;
        QVariant stored; // a conflict: what another client stored
        QString reason;  // not saved: why
        bool sending = false;     // a save of sent is on its way
        QVariant sent;
        bool saveAgain = false;   // typed again while sending: save once that save is back
    };

    explicit ShotEdits(DbWorker *worker = nullptr, QObject *parent = nullptr);
    ~ShotEdits() override;

    void setTable(const QString &table) { this->table = table; }

    // The draft of a field, or null.
    const Draft *draft(qlonglong shot, const QString &column) const;
    QList<Draft> draftsOf(qlonglong shot) const;
    QList<Draft> unsaved() const;
    QList<Draft> conflicts() const;
    // Any value not in the database yet: typed, being saved, not saved or in conflict.
    bool hasPending() const { return !drafts.isEmpty(); }
    int count(State state) const;

    // The user typed typed into a field whose stored value was read. A
    // value equal to the one read drops the draft again.
    void type(qlonglong shot, const QString &column, const QVariant &read, const QVariant &typed);
    // The same value typed for many shots at once (a bulk edit), each with
    // the value read for it; one change signal for the lot.
    void typeMany(const QList<qlonglong> &shots, const QString &column, const QList<QVariant> &reads,
                  const QVariant &typed);
    // Drops the typed drafts of a field of many shots (a bulk edit undone).
    void discardMany(const QList<qlonglong> &shots, const QString &column);
    // Saves the typed drafts of these shots, and those not saved before
    // unless retryUnsaved is false (the user moving on does not try again
    // what the database refused): one shot in one checked statement,
    // several as a bulk edit (chunked, one action).
    // With a column, only the drafts of that column (a tag toggled while
    // the user types in a field: the typing stays a draft of its own).
    void save(const QList<qlonglong> &shots, bool retryUnsaved = true, const QString &column = QString());
    // Every draft not in the database yet (closing, changing project).
    void saveAll();
    // Settles a conflict: keeps the stored value, or writes the user's over
    // it (checked against it; another change meanwhile is a new conflict).
    void resolve(qlonglong shot, const QString &column, bool writeMine);
    void discard(qlonglong shot, const QString &column);
    // Drops every draft not being saved right now (typed, not saved, conflicts).
    void discardAll();
    void discardUnsaved();

    // History and undo. Whether the database keeps a history is learnt from
    // the first save (or checkHistory()); until then it counts as kept.
    enum class History { Unknown, Kept, Missing };
    History history() const { return historyState ? History(historyState->load()) : History::Unknown; }
    void checkHistory();
    bool canUndo() const { return !undoStack.isEmpty() && history() != History::Missing; }
    bool canRedo() const { return !redoStack.isEmpty() && history() != History::Missing; }
    // Reverts this window's last change, or the given change set of the
    // stack (the one the user was asked about, even if a save landed on
    // top meanwhile).
    void undo(qint64 changeSet = 0);
    void redo(qint64 changeSet = 0);
    // What a change set of this window changed, learnt from its save: the
    // shots, the fields (in the form's order) and the file of a single shot.
    struct Touched
    {
        qint64 changeSet = 0;
        QList<qlonglong> shots;
        QStringList columns;
        QString filename;
    };
    // What Undo and Redo would revert next (changeSet 0: nothing).
    Touched nextUndo() const;
    Touched nextRedo() const;
    // The change in words: "Notes of shot 17, raw/Day1/CardA/00003.MTS",
    // "Scene, Shot of 3 shots".
    static QString describe(const Touched &touched);
    // Reverts a change set of anyone's (from the history panel); the undo
    // is this window's own action then, and can itself be undone.
    void revertChangeSet(qint64 changeSet);
    QList<qint64> undoChangeSets() const { return undoStack; }

    // Saves, undos or the history check of this object still on their way.
    bool isBusy() const { return jobs > 0; }
    // Saves and undos (what writes) still on their way: what a window
    // closing waits for, never a read.
    bool isSaving() const { return writes > 0; }
    // How far a save of many shots has come: "4,000 of 10,000 shots", or
    // empty.
    QString progress() const;

    // Words for a field in messages ("Duration (s)").
    static QString fieldLabel(const QString &column);

signals:
    // The drafts of these shots changed (added, typed, saved, dropped).
    void changed(const QList<qlonglong> &shots);
    // The server holds these values now: the model shows them.
    void stored(const StoredValues &values);
    // A line for the status bar; problem says whether it needs attention.
    void message(const QString &text, bool problem);
    // New history rows for these shots.
    void historyChanged(const QList<qlonglong> &shots);
    void undoStateChanged();
    void busyChanged(bool busy);
    void savingChanged(bool saving);
    // The connection was lost and reopened on the way.
    void reconnected();

private:
    // The drafts in state, by shot and column.
    QList<Draft> inState(State state) const;
    void discardWhere(const std::function<bool(const Draft &)> &which);
    enum class Action { Save, Undo, Redo, Revert };
    using Key = QPair<qlonglong, QString>;

    bool typeOne(qlonglong shot, const QString &column, const QVariant &read, const QVariant &typed);
    void send(const QList<ShotWriter::Change> &changes, Action action, qint64 undoes = 0);
    void apply(const ShotWriter::Result &result, Action action);
    void finish(const ShotWriter::Result &result, Action action, int shots, bool noHistoryNote);
    void revert(qint64 changeSet, Action action);
    Touched touchedOf(const ShotWriter::Result &result) const;
    QString describeFailure(const StatementResult &failure, const QStringList &columns) const;
    void jobStarted(bool writing);
    void jobEnded(bool writing);

    DbWorker *worker = nullptr;
    QString table = QStringLiteral("shots");
    QHash<Key, Draft> drafts;
    std::shared_ptr<std::atomic<int>> historyState;
    bool historyNoted = false;
    QList<qint64> undoStack;
    QList<qint64> redoStack;
    QHash<qint64, Touched> touchedBy; // by change set, for those on the stacks
    int jobs = 0;
    int writes = 0;
    int progressDone = 0;
    int progressTotal = 0;
};

Q_DECLARE_METATYPE(StoredValues)
