#include "workers/server_workers.h"

#include <utility>

#include "discovery/multi_host.h"
#include "platform/allocator.h"
#include "recording/lock_sem.h"
#include "server/server_thread.h"
#include "server/server_window.h"

namespace quavelink {

void ServerWorkers::TappedSink::processAudioBlock(std::uint8_t* block, int length) {
    if (tap != nullptr) tap->processAudioBlock(block, length);
    next.processAudioBlock(block, length);
}

ServerWorkers::ServerWorkers(EndpointList& endpoints, ChannelSelection& channels,
                             ServerWindow& window, Warn48kSetting warn48k, AudioBlockSink* tap)
    : window(window),
      fileRecorder(recordLock, window),
      recordSink(fileRecorder),
      streamServer(window, recordSink),
      serverSink(streamServer),
      capturedSink(tap, serverSink),
      capture(endpoints, capturedSink, window, channels, std::move(warn48k)) {
    // Every capture started again (after a sound server restart, a device change) frees the
    // large buffers of the one before and makes new ones: they must not settle in the heap.
    keepLargeAllocationsMapped();
}

ServerWorkers::~ServerWorkers() { stop(); }

bool ServerWorkers::startServer() {
    return startServerThread(streamServer, capture, window, serverThread);
}

bool ServerWorkers::startDiscovery() { return startMultiHost(discoveryThread); }

bool ServerWorkers::startRecorder() { return startRecordThread(fileRecorder, recordThread); }

void ServerWorkers::stop() {
    // The server thread owns the capture while it runs; once it has ended, the capture is
    // stopped here, so that no block reaches the core or the recorder after this.
    serverThread.stop();
    capture.stopCapture();
    discoveryThread.stop();
    // The recording gets what was captured until now, and its file is finished here rather
    // than left to a record thread that is about to end.
    fileRecorder.setRecordTarget("", -1, 0, false, 0);
    recordThread.stop();
}

}  // namespace quavelink
