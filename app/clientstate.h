#pragma once

class QDir;

// The one process-wide record through which the windows hand each other the
// outcome of the start-up steps. It is created on first use with every field
// cleared and is never freed: the transcode window may read it until the
// process ends.
class ClientState
{
public:
    static ClientState *instance();

    int connected = 0;          // 1 after the login opened the database
    QDir *startDir = nullptr;   // the directory current before the login
    int projectId = 0;          // id of the chosen row of `projects`

private:
    ClientState() = default;
};
