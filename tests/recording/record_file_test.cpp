#include "recording/record_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "support/temporary_folder.h"

namespace quavelink {
namespace {

class RecordFileTest : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return folder.file(name); }

    test::TemporaryFolder folder{"quavelink-record-file"};
};

TEST_F(RecordFileTest, ANewFileIsCreatedWithTheGivenMode) {
    RecordFile file = openRecordFile(path("take.wav"), 0600);
    ASSERT_GE(file.fd, 0);
    EXPECT_TRUE(file.created);
    struct stat status {};
    ASSERT_EQ(fstat(file.fd, &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(write(file.fd, "RIFF", 4), 4);
    close(file.fd);
}

TEST_F(RecordFileTest, AnExistingFileIsEmptiedAndSaidToBeReplaced) {
    std::ofstream(path("take.wav")) << "an older take";
    RecordFile file = openRecordFile(path("take.wav"), 0600);
    ASSERT_GE(file.fd, 0);
    EXPECT_FALSE(file.created);
    EXPECT_EQ(std::filesystem::file_size(path("take.wav")), 0u);
    close(file.fd);
}

TEST_F(RecordFileTest, AFailedOpenKeepsTheSystemsReason) {
    RecordFile missingFolder = openRecordFile(path("gone/take.wav"), 0600);
    EXPECT_EQ(missingFolder.fd, -1);
    EXPECT_EQ(missingFolder.error, ENOENT);

    std::filesystem::create_directory(path("folder.wav"));
    RecordFile folderNamed = openRecordFile(path("folder.wav"), 0600);
    EXPECT_EQ(folderNamed.fd, -1);
    EXPECT_EQ(folderNamed.error, EISDIR);
}

}  // namespace
}  // namespace quavelink
