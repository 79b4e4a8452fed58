#pragma once
// One direction's transfer record and its states. Slot Side receives, slot
// 1 - Side sends; both peers use the same slot number for the same transfer.

#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace relvane {

// The values are the ones the states are known by wherever they are shown.
enum class SlotState : std::uint8_t {
    Idle = 0,
    SendNextFile = 1,
    RecvWaitCount = 2,
    RecvWaitName = 3,
    RecvWaitSize = 4,
    RecvData = 5,
    SendData = 6,
    ResumeQuery = 7,
    ResumeCheck = 8,
    SendWaitListAck = 9,
    SendWaitFileAck = 10,
};

struct TransferSlot {
    bool InUse = false;
    std::int32_t LastIndex = 0;
    std::int32_t CurrentIndex = 0;
    QString FileName;
    std::int64_t FileSize = 0;
    std::int64_t ResumeOffset = 0;
    std::uint32_t Checksum = 0;
    SlotState State = SlotState::Idle;
    QStringList FileList;              // sending slot: private copy of the list
    std::unique_ptr<QFile> FileStream; // absent between files
};

} // namespace relvane
