// The command-line program: its commands, options and exit statuses.
#pragma once

#include <QStringList>

namespace quillmar::cli {

// Exit statuses.
inline constexpr int exit_success = 0;
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;
inline constexpr int exit_no_port = 3;

// The application name that names the per-user data folder, the same as the window's.
inline constexpr const char* application_name = "vortan";

// Runs the command line `arguments` (the program first) on the running QCoreApplication;
// returns the exit status.
int run(const QStringList& arguments);

} // namespace quillmar::cli
