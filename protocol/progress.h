#pragma once
// The values a transfer status window reads every 100 ms and the flags its
// cancel button sets. Shared between the worker and the windows, so a window
// never reads a worker that has ended.

#include <atomic>
#include <cstdint>

namespace relvane {

struct TransferProgress {
    // Per file: its size, and the read (sending) or write (receiving) position.
    std::atomic<std::int32_t> SendTotal{0};
    std::atomic<std::int32_t> SendDone{0};
    std::atomic<std::int32_t> RecvTotal{0};
    std::atomic<std::int32_t> RecvDone{0};
    // Bytes of the current file the receiver already held when this transfer
    // of it began: the agreed resume offset, 0 without resume. Done starts
    // there, so Done minus these is what this transfer moved.
    std::atomic<std::int32_t> SendResumedBytes{0};
    std::atomic<std::int32_t> RecvResumedBytes{0};
    std::atomic<bool> Resumed{false};
    std::atomic<bool> CompressOn{false};
    std::atomic<bool> SendCancel{false};
    std::atomic<bool> ReceiveCancel{false};
};

} // namespace relvane
