#include "client/line_writer.h"

namespace quavelink {

LineWriter::LineWriter(std::FILE* out, std::FILE* err)
    : out(out), err(err), thread([this] { run(); }) {}

LineWriter::~LineWriter() { finish(); }

void LineWriter::write(std::FILE* stream, std::string text) {
    {
        std::lock_guard lock(mutex);
        if (!finishing) {
            if (waiting.size() >= kMostWaiting) {
                ++dropped;
            } else {
                waiting.emplace_back(stream, std::move(text));
            }
            wake.notify_one();
            return;
        }
    }
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

void LineWriter::finish() {
    {
        std::lock_guard lock(mutex);
        finishing = true;
    }
    wake.notify_one();
    if (thread.joinable()) thread.join();
}

void LineWriter::run() {
    std::deque<std::pair<std::FILE*, std::string>> batch;
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return finishing || !waiting.empty(); });
        if (waiting.empty()) return;
        batch.swap(waiting);
        std::uint64_t lost = dropped;
        dropped = 0;
        lock.unlock();
        for (auto& [stream, text] : batch) {
            std::fputs(text.c_str(), stream);
            std::fflush(stream);
        }
        batch.clear();
        if (lost > 0) {
            std::fprintf(
                err, "quavelink-client: %llu lines were dropped while the output was not read\n",
                static_cast<unsigned long long>(lost));
            std::fflush(err);
        }
        lock.lock();
    }
}

}  // namespace quavelink
