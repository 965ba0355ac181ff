#include "engine/logger.hpp"

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "engine/messages.hpp"
#include "platform/standard_output.hpp"

namespace velmora {
namespace {

// When the queue is full (standard output not being read), new lines are
// dropped and counted; the writer says how many once it can write again.
struct LogQueue {
    std::mutex mutex;
    std::condition_variable linesQueued;
    std::condition_variable idle;
    std::deque<std::string> lines;
    std::uint64_t dropped = 0;
    bool writing = false;
};

// Never destroyed: the detached writer may still run during process exit.
LogQueue& logQueue() {
    static auto* queue = new LogQueue;
    return *queue;
}

std::string formatLine(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return {};
    std::string line(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, args);
    line.pop_back();
    return line;
}

void writerMain() {
    LogQueue& queue = logQueue();
    std::unique_lock lock(queue.mutex);
    for (;;) {
        queue.linesQueued.wait(lock, [&] { return !queue.lines.empty() || queue.dropped > 0; });
        std::deque<std::string> batch;
        batch.swap(queue.lines);
        const std::uint64_t dropped = std::exchange(queue.dropped, 0);
        queue.writing = true;
        lock.unlock();
        std::string text;
        for (const std::string& line : batch) text += line;
        // Every line dropped came after the ones in this batch.
        if (dropped > 0) {
            char note[96];
            std::snprintf(note, sizeof note, messages::kLogDropped,
                          static_cast<unsigned long long>(dropped));
            text += note;
        }
        platform::writeStandardOutput(text.data(), text.size());
        lock.lock();
        queue.writing = false;
        queue.idle.notify_all();
    }
}

void startWriter() {
    // Started by the first line, from a control thread (never a real-time
    // one), so the writer runs at ordinary priority.
    std::thread(writerMain).detach();
    // Lines queued just before exit still reach the output, unless it blocks.
    std::atexit([] { flushLog(std::chrono::milliseconds(250)); });
}

}  // namespace

void logLine(const char* format, ...) {
    static std::once_flag writerStarted;
    std::call_once(writerStarted, startWriter);
    va_list args;
    va_start(args, format);
    std::string line = formatLine(format, args);
    va_end(args);
    LogQueue& queue = logQueue();
    {
        std::lock_guard lock(queue.mutex);
        if (queue.lines.size() >= kLogQueueLines) {
            ++queue.dropped;
            return;
        }
        queue.lines.push_back(std::move(line));
    }
    queue.linesQueued.notify_one();
}

std::string formatLogLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = formatLine(format, args);
    va_end(args);
    return line;
}

bool flushLog(std::chrono::milliseconds timeout) {
    LogQueue& queue = logQueue();
    std::unique_lock lock(queue.mutex);
    return queue.idle.wait_for(lock, timeout,
                               [&] { return queue.lines.empty() && queue.dropped == 0 && !queue.writing; });
}

}  // namespace velmora
