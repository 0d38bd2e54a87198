#include "recording/record_file.h"

#include <fcntl.h>

#include <cerrno>

namespace quavelink {

RecordFile openRecordFile(const std::string& path, mode_t mode) {
    RecordFile file;
    file.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (file.fd >= 0) {
        file.created = true;
        return file;
    }
    if (errno != EEXIST) {
        file.error = errno;
        return file;
    }
    // It exists (or is a link to where a file may be made): the user asked for this name.
    file.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (file.fd < 0) file.error = errno;
    return file;
}

}  // namespace quavelink
