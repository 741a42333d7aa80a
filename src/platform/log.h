// The program's log: one line per call on standard error, with the time, the program name and the
// process and thread ids before the text.
#pragma once

#include <QString>

#include <functional>

namespace platform {

// Writes "<date time.ms> <program>[<pid>:<tid>] <text>" and a newline to standard error, as one
// write so that lines of different threads never mix. Thread: any.
void log(const QString& text);

// Lines written by log() also go to `sink` while it is set (tests and tools read the log this
// way); null removes it. Thread: any.
void setLogSink(std::function<void(const QString& line)> sink);

}  // namespace platform
