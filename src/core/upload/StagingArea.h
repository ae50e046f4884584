#pragma once

#include <QtCore/QString>

// Where an upload's third attempt copies its file: a folder per process inside the user's own
// folder of the temporary directory. A copy that a killed process left behind is then told from
// one in use by another process (the app and the command line both upload) and removed at the
// next start; nothing else would ever remove it.
namespace StagingArea {

// <temporary directory>/vorlanta-creator-<uid>
QString userDirectory();
// userDirectory()/staging-<pid>, made (owner only) if missing; the path even when that fails,
// so that the copy's own error names it.
QString processDirectory();
// Removes the folders of processes that no longer run; returns how many went.
int removeLeftovers();

} // namespace StagingArea
