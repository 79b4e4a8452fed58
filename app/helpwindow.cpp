#include "app/helpwindow.h"

#include "app/consts.h"
#include "app/uifont.h"

#include <QTextBrowser>
#include <QVBoxLayout>

namespace relvane::app {

QString HelpPage() {
    return QStringLiteral(R"(<html><body>
<h2><a name="context1"></a>TCP/IP Relvane ヘルプ</h2>
<p>TCP/IP Relvane は、2 台のコンピューターの間で 1 本の TCP 接続を使ってファイルを送り合い、
同時にチャットができるプログラムです。両方のコンピューターで同じプログラムを使います。</p>
<h3>目次</h3>
<ul>
<li><a href="#context5">接続と切断</a></li>
<li><a href="#send">ファイルの送信</a></li>
<li><a href="#chat">チャット</a></li>
<li><a href="#setting">設定</a></li>
</ul>

<h3><a name="context5"></a>接続と切断</h3>
<p>一方が「サーバー作成」を押すと、接続を待つ状態になります。
サーバーになる側の「自ＩＰアドレス」を相手に教えてください（「編集」メニューの「自ＩＰをコピー」でクリップボードにコピーできます）。</p>
<p>もう一方は「相手ＩＰアドレス」にそのアドレスを入力して「接続」を押します。
接続情報のチェックが終わると、ウィンドウのタイトルに相手のユーザー名とホスト名が表示されます。
待っている間は「キャンセル」で中止できます。</p>
<p>「切断」を押すと接続を終了します。どちらの側から切断しても、両方に「切断しました」と表示されます。
最近接続した 5 つのアドレスは「相手ＩＰアドレス」の一覧から選べます。</p>
<p>「探す」を押すと、同じネットワークで「サーバー作成」して待っている相手が「相手ＩＰアドレス」の下に一覧で表示されます。
相手をクリックするとそのアドレスが入るので、「接続」を押してください。
ルーターの向こう側（別のネットワーク、VPN、インターネット）の相手は見つかりません。アドレスを入力して接続してください。
見つからないときは、同じネットワークにいるか、ファイアウォールがポートの UDP と TCP を通すか確かめてください。
待っている間に「探す」に応答しないようにするには、設定の「「探す」に応答する」をオフにします。</p>

<h3><a name="send"></a>ファイルの送信</h3>
<p>「参照」で送信するファイルを選ぶか（複数選択できます）、ファイルをウィンドウにドロップしてから「送信」（Ctrl+S）を押します。
相手の受信フォルダにファイルが保存されます。受信中のファイルは名前に「.Recv」が付き、完了すると元の名前になります。</p>

<h3><a name="chat"></a>チャット</h3>
<p>「表示」メニューの「チャット画面表示」でチャット画面を開き、相手とメッセージをやりとりできます。</p>

<h3><a name="setting"></a>設定</h3>
<p>「編集」メニューの「設定」で、ユーザー名、ポート番号、受信フォルダ、圧縮転送、レジュームなどを変更できます。
接続中は設定を変更できません。設定は Varnel.ini に保存されます。</p>
<p>ただし、ポート番号、受信フォルダ、接続先の履歴が保存されるのは「設定の保存をする」がオンのときだけです。
オフのときは、これらはプログラムを終了するまで有効で、次に起動すると初期値（ポート番号 2010 など）に戻り、履歴は空になります。
ユーザー名、圧縮転送、レジューム、ツールバーの表示、ステータス画面の色とアニメーションは、いつも保存されます。</p>
<p>相手が切断した後もサーバーは同じポートで接続を待っているため、そのままではポート番号を変更できません。
「サーバー作成」を押し、待機画面の「キャンセル」でサーバーを止めてから変更してください。</p>
</body></html>)");
}

THelpWindow::THelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(ApplicationTitle() + QStringLiteral(" ヘルプ"));
    setFont(FormFont());
    Browser = new QTextBrowser(this);
    Browser->setOpenLinks(true);
    Browser->setHtml(HelpPage());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Browser);
    resize(480, 400);
}

void THelpWindow::OpenContext(int context) {
    FContext = context == HelpConnection ? HelpConnection : HelpContents;
    show();
    raise();
    activateWindow();
    Browser->scrollToAnchor(QStringLiteral("context%1").arg(FContext));
}

} // namespace relvane::app
