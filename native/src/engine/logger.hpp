#pragma once
#include <chrono>
#include <cstdint>
#include <string>

namespace velmora {

// Diagnostic lines on standard output; each format carries its own newline.
// Never blocks on standard output: the line goes to a bounded queue that a
// writer thread of ordinary priority drains. Never called on the audio thread.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A line formatted as logLine would write it, for callers that decide later
// whether to write it.
std::string formatLogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Waits until every queued line has been written, at most `timeout`; true
// when the queue drained in time.
bool flushLog(std::chrono::milliseconds timeout);

// Lines the queue could hold before it drops new ones.
inline constexpr std::size_t kLogQueueLines = 256;

}  // namespace velmora
