#include "client/line_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

namespace quavelink {
namespace {

// A reader that stops reading: the pipe is full before the first line. Lines are taken at once
// all the same; once the most that may wait are waiting, more are dropped, and when the reader
// reads again every line kept comes out in order and the count of the others is told.
TEST(LineWriter, APipeNobodyReadsHoldsNobodyUpAndLosesOnlyWhatIsBeyondTheMost) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    std::string filler(4096, 'x');
    std::size_t filled = 0;
    for (ssize_t n; (n = ::write(ends[1], filler.data(), filler.size())) > 0;) filled += n;
    fcntl(ends[1], F_SETFL, 0);
    std::FILE* out = fdopen(ends[1], "w");
    std::FILE* err = std::tmpfile();
    constexpr int kLines = 3000;
    LineWriter lines(out, err);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kLines; ++i) lines.write(out, "line " + std::to_string(i) + "\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    std::string read;
    std::thread reader([&] {
        char chunk[65536];
        for (ssize_t n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;) read.append(chunk, n);
    });
    lines.finish();
    std::fclose(out);
    reader.join();
    ::close(ends[0]);

    std::istringstream kept(read.substr(filled));
    int count = 0, last = -1;
    for (std::string word, number; kept >> word >> number; ++count) {
        EXPECT_GT(std::stoi(number), last);
        last = std::stoi(number);
    }
    EXPECT_GE(count, static_cast<int>(LineWriter::kMostWaiting));
    EXPECT_LT(count, kLines);
    std::rewind(err);
    int told = 0;
    char note[200];
    while (std::fgets(note, sizeof note, err) != nullptr) {
        int dropped = 0;
        ASSERT_EQ(std::sscanf(note,
                              "quavelink-client: %d lines were dropped while the output "
                              "was not read\n",
                              &dropped),
                  1)
            << note;
        told += dropped;
    }
    EXPECT_EQ(told, kLines - count);
    std::fclose(err);
}

}  // namespace
}  // namespace quavelink
