#pragma once
// What a user chose to send, made into one list: folders become their files,
// each with its path below the folder's parent when the peer keeps folders
// (a copy of this program), else its bare name; and the checks the list
// must pass before it goes, for the peer at hand.

#include "protocol/capabilities.h"

#include <QString>
#include <QStringList>

namespace relvane {

struct SendPlan {
    QStringList Files; // full paths
    QStringList Names; // paths below the folder chosen ("/" between parts); empty: bare names
    QString Refusal;   // why the list cannot go; empty when it can
};

// A list of at most this many files.
constexpr qsizetype MaxListFiles = 1000000;

// caps: what the peer takes (CapBigFiles, CapFolders) beyond the catalogue.
[[nodiscard]] SendPlan PlanSend(const QStringList& paths, Capabilities caps);

} // namespace relvane
