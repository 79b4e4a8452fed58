// The scene's files: what lies in the send folder, and what the seeds send.

#include "scene.h"

namespace relvane::fuzz {

namespace {

// Bytes deflate cannot shrink (a linear congruential sequence's high bits).
QByteArray Noise(int n) {
    QByteArray b(n, Qt::Uninitialized);
    std::uint32_t x = 12345;
    for (int i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<char>(x >> 24);
    }
    return b;
}

} // namespace

QByteArray Pattern(int n, int seed) {
    QByteArray b(n, Qt::Uninitialized);
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<char>((i * 31 + seed * 7 + (i >> 5)) & 0xFF);
    return b;
}

QString JapaneseName() {
    return QStringLiteral("表示.txt");
}

const std::vector<SendFile>& SmallSet() {
    static const std::vector<SendFile> files = {
        {JapaneseName(), QStringLiteral("proj/") + JapaneseName(), Pattern(1500, 1)},
        {QStringLiteral("b.txt"), QStringLiteral("proj/sub/b.txt"), QByteArray()},
        {QStringLiteral("c.bin"), QStringLiteral("proj/sub/deeper/c.bin"), Pattern(2100, 2)},
    };
    return files;
}

const std::vector<SendFile>& LargeSendSet() {
    // A run of the pool is 32 blocks: the first file takes two runs. The
    // third has ten runs stored (noise): past the eight queued at its start
    // they are made by the sending thread, until a run that deflates gives
    // the rest back to the pool.
    static const std::vector<SendFile> files = {
        {QStringLiteral("big1.bin"), QStringLiteral("big/big1.bin"), Pattern(33 * 1024 + 7, 3)},
        {QStringLiteral("mid.txt"), QStringLiteral("big/a/mid.txt"), Pattern(3000, 4)},
        {QStringLiteral("big2.bin"), QStringLiteral("big/a/big2.bin"),
         Noise(10 * 32 * 1024) + Pattern(33 * 1024, 5) + Noise(1024 + 100)},
        {QStringLiteral("empty.txt"), QStringLiteral("big/empty.txt"), QByteArray()},
    };
    return files;
}

} // namespace relvane::fuzz
