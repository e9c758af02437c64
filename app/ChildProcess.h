#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>

class QProcess;

// Ending the tools the program starts (xcodebuild, deviceconsole) without waiting for them: a
// tool that ignores SIGTERM must not freeze the window that stops it, and what a tool started
// (a shell script's children) must not outlive it.
//
//     ChildProcess::runInOwnGroup(*process);       // before start()
//     ...
//     process->disconnect(this);
//     ChildProcess::end(process, 2s, [folder] { QDir(folder).removeRecursively(); });
//
// end() sends SIGTERM to the tool's process group at once, SIGKILL after the grace period if the
// tool is still running, and SIGKILL once more to the group when the tool has ended, for whatever
// it left behind. It returns at once; the QProcess is deleted (later) once the tool has ended and
// `ended` has run, in the QProcess's thread. Call it in that thread.
//
// Tools still being ended when the program quits get SIGKILL as the application object goes.
namespace ChildProcess {

inline constexpr std::chrono::milliseconds kDefaultGrace { 2000 };

// The tool becomes the leader of a process group of its own, so that its children can be ended
// with it.
void runInOwnGroup(QProcess &process);

void end(QProcess *process, std::chrono::milliseconds grace = kDefaultGrace, std::function<void()> ended = {});

// Processes handed to end() that have not ended yet.
int endingCount();
// SIGKILL now to every tool still being ended (for a program on its way out).
void killEnding();
// For a program without a window before it exits: runs the calling thread's events until every
// tool handed to end() has ended (and its `ended` has run), or the timeout has passed.
bool waitForEnding(std::chrono::milliseconds timeout);

} // namespace ChildProcess
