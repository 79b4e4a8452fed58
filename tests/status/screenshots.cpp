// Shows the send and receive status windows during a made-up transfer and the
// chat window with a short conversation, then saves screenshots of them:
//   relvane_screenshots OUTDIR
// Needs a real display (for instance Xvfb with a window manager).

#include "chat/messageform.h"
#include "status/anime.h"
#include "status/statusform.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <memory>

using namespace relvane;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TCP/IP Relvane"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
    if (argc < 2) {
        std::fprintf(stderr, "usage: relvane_screenshots OUTDIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));

    auto progress = std::make_shared<TransferProgress>();
    progress->SendTotal = 3 * 1024 * 1024;
    progress->RecvTotal = 1700 * 1024;
    progress->CompressOn = true;
    progress->Resumed = true;
    progress->VerifyOn = true;

    // As if the batches had started a few seconds ago.
    auto earlier = [] {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + 6000;
    };

    TStatusForm send;
    send.SetSendMode(true);
    ApplyStatusSettings(send, StatusLook{});
    send.AttachProgress(progress);
    send.BeginSendBatch({QStringLiteral("/home/taro/資料/見積書.xls"),
                         QStringLiteral("/home/taro/資料/打ち合わせメモ.txt"),
                         QStringLiteral("/home/taro/写真/旅行2024.zip"),
                         QStringLiteral("/home/taro/readme.txt")});
    send.SetCurrentFile(QStringLiteral("/home/taro/資料/打ち合わせメモ.txt"));
    send.Clock = earlier;

    TStatusForm recv;
    recv.SetSendMode(false);
    StatusLook look;
    look.Anime = 0;
    ApplyStatusSettings(recv, look);
    recv.AttachProgress(progress);
    recv.BeginReceiveBatch();
    recv.AnnounceFiles(3);
    recv.SetCurrentFile(QStringLiteral("報告書.doc"));
    recv.Clock = earlier;

    TMessageForm chat;
    chat.AddLine(QStringLiteral("太郎"), QStringLiteral("資料を送りました"));
    chat.AddLine(QStringLiteral("花子"), QStringLiteral("ありがとう！いま受信中です"));
    chat.AddLine(QStringLiteral("太郎"), QStringLiteral("写真も続けて送ります"));
    chat.AddLine(QStringLiteral("Error"), QStringLiteral("接続されてません"));
    chat.MessageMemo->setPlainText(QStringLiteral("了解です"));
    chat.move(40, 120);
    chat.show();

    // The worker's counters, moving as a transfer would.
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&] {
        progress->SendDone =
            std::min<std::int32_t>(progress->SendDone + 96 * 1024, progress->SendTotal);
        progress->RecvDone =
            std::min<std::int32_t>(progress->RecvDone + 40 * 1024, progress->RecvTotal);
    });
    pump.start(100);

    int status = 0;
    QTimer::singleShot(2500, [&] {
        QScreen* screen = QGuiApplication::primaryScreen();
        const QPixmap desktop = screen->grabWindow(0);
        auto save = [&](const QString& name, const QRect& area) {
            const QPixmap part = area.isNull() ? desktop : desktop.copy(area);
            if (!part.save(out.filePath(name))) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(out.filePath(name)));
                status = 1;
            }
        };
        save(QStringLiteral("status-send.png"), send.frameGeometry());
        save(QStringLiteral("status-receive.png"), recv.frameGeometry());
        save(QStringLiteral("chat.png"), chat.frameGeometry());
        save(QStringLiteral("desktop.png"), QRect());

        // The animations: the four frames, then every fifth of the eighty,
        // twice their size.
        QImage sheet(20 * 68 + 4, 2 * 68 + 4, QImage::Format_RGB32);
        sheet.fill(send.palette().color(QPalette::Window));
        QPainter p(&sheet);
        for (int type = 0; type < 2; ++type)
            for (int i = 0, shown = 0; i < AnimeFrameCount(type); i += type == 0 ? 1 : 5, ++shown)
                p.drawImage(QRect(4 + shown * 68, 4 + type * 68, 64, 64), AnimeFrame(type, i));
        p.end();
        if (!sheet.save(out.filePath(QStringLiteral("animations.png")))) status = 1;
        QApplication::quit();
    });
    QApplication::exec();
    return status;
}
