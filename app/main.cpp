#include <QApplication>
#include <QFont>
#include <QMainWindow>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TCP/IP Relvane"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐ明朝"), QStringLiteral("IPAPMincho"));
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("TCP/IP Relvane"));
    window.resize(400, 200);
    window.show();
    return QApplication::exec();
}
