#pragma once

// Ends the client's process with status, as the main window's destructor
// and the transcode window's Cancel do: the database threads are ended
// first (each waiting statement cut off, its connection closed, the thread
// joined, within about a second), so no thread uses Qt SQL while its
// globals are destroyed. A thread that cannot end in time (stuck connecting
// to a stalled server) is left to the operating system: the process then
// ends without running static destructors.
[[noreturn]] void endProcess(int status);
