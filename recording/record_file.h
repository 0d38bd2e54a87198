#pragma once

#include <sys/types.h>

#include <string>

namespace quavelink {

//! A file opened to record into, or why it could not be.
struct RecordFile {
    int fd = -1;           //!< open for writing, or -1
    int error = 0;         //!< the errno of the failed open when `fd` is -1
    bool created = false;  //!< no file of that name existed before
};

//! Opens `path` for writing a recording: a new file is created with `mode`, an existing one is
//! emptied (`created` then false, so that the caller can say a file was replaced). Any thread.
RecordFile openRecordFile(const std::string& path, mode_t mode);

}  // namespace quavelink
