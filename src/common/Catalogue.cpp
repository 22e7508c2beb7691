#include "common/Catalogue.h"

#include <QLocale>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstring>
#include <langinfo.h>
#include <map>
#include <string>
#include <vector>

namespace swn {
namespace {

struct Entry {
    const char* en;
    const char* ja;
    const char* zh;
};

// The string table. English texts are the relay's own and must stay exactly as they are:
// administrators' scripts and tests match on them.
const std::map<int, Entry>& table()
{
    static const std::map<int, Entry> t = {
        {101, {"SMTP Server (Add Port like this server:port)", "SMTP サーバー (ポートは server:port の形で指定)", "SMTP 服务器 (端口格式为 server:port)"}},
        {102, {"Listener Port", "待ち受けポート", "监听端口"}},
        {103, {"Mail Transport", "メール送信方式", "邮件传输方式"}},
        {104, {"Statistics", "統計", "统计"}},
        {105, {"Total Copies", "送信通数", "发送份数"}},
        {106, {"Total Relays", "中継件数", "中继次数"}},
        {107, {"Start", "開始", "启动"}},
        {108, {"Stop", "停止", "停止"}},
        {109, {"Use BTMail", "BTMail を使用", "使用 BTMail"}},
        {110, {"Use CDO Mail", "CDO メールを使用", "使用 CDO 邮件"}},
        {111, {"Operation Mode", "動作モード", "运行模式"}},
        {112, {"PostOffice Relay Mode", "ポストオフィス中継モード", "邮局中继模式"}},
        {113, {"Network Relay Mode", "ネットワーク中継モード", "网络中继模式"}},
        {114, {"BT ID", "BT ID", "BT ID"}},
        {115, {"DB", "DB", "数据库"}},
        {116, {"DBSet", "DB セット", "数据库集"}},
        {117, {"Edit Credentials", "認証情報の編集", "编辑凭据"}},
        {118, {"Valid BT DB", "有効な BT DB", "BT 数据库有效"}},
        {119, {"Poll Interval (Secs)", "ポーリング間隔 (秒)", "轮询间隔 (秒)"}},
        {120, {"Status", "状態", "状态"}},
        {121, {"Auto Start", "自動開始", "自动启动"}},
        {122, {"Max Log Size (KB)", "最大ログサイズ (KB)", "最大日志大小 (KB)"}},
        {123, {"Exit", "終了", "退出"}},
        {124, {"Stopped", "停止中", "已停止"}},
        {125, {"Running", "実行中", "运行中"}},
        {126, {"POSTOFFICE", "POSTOFFICE", "POSTOFFICE"}},
        {127, {"NETWORK", "NETWORK", "NETWORK"}},
        {128, {"The selected database doesn't appear to have been enabled for SWIFTNOTE !!",
               "選択されたデータベースは SWIFTNOTE 用に有効化されていないようです。",
               "所选数据库似乎尚未启用 SWIFTNOTE!"}},
        {129, {"Bugtrellis User name and / or Password invalid for selected Database",
               "選択されたデータベースに対する Bugtrellis のユーザー名またはパスワードが正しくありません",
               "所选数据库的 Bugtrellis 用户名或密码无效"}},
        {130, {"Database '%s' does not exist", "データベース '%s' は存在しません", "数据库 '%s' 不存在"}},
        {132, {"Database '%s' is not accessible.  The physical database might have been deleted outside of Bugtrellis",
               "データベース '%s' にアクセスできません。物理データベースが Bugtrellis の外部で削除された可能性があります",
               "无法访问数据库 '%s'。物理数据库可能已在 Bugtrellis 之外被删除"}},
        {133, {"An Unknown error has occurred: %s", "不明なエラーが発生しました: %s", "发生未知错误: %s"}},
        {134, {"XML Stream Failed to Load.  Error: %s", "XML ストリームを読み込めませんでした。エラー: %s", "无法加载 XML 流。错误: %s"}},
        {135, {"Instigator: %s # Recipients = %s", "発信元: %s # 宛先数 = %s", "发起者: %s # 收件人数 = %s"}},
        {137, {"Checked Postoffice - found %s  Mails to forward.", "ポストオフィスを確認しました - 転送するメールが %s 件あります。",
               "已检查邮局 - 找到 %s 封待转发邮件。"}},
        {138, {"Socket Error on index %s ,Description:%s", "ソケットエラー (インデックス %s) ,説明:%s", "套接字错误 (索引 %s) ,说明:%s"}},
        {139, {"Referral received from [%s] : Stream length %sK", "[%s] から受信しました : ストリーム長 %sK",
               "已从 [%s] 收到转发 : 流长度 %sK"}},
        {140, {"The User ID '%s' is invalid, or the password is incorrect", "ユーザー ID '%s' が無効か、パスワードが正しくありません",
               "用户 ID '%s' 无效, 或密码不正确"}},
        {141, {"Invalid User Credentials", "ユーザー認証情報が無効です", "用户凭据无效"}},
        {142, {"Send Failed: SWN::CDOSYS Send Direct mail failure.  Message was: %n%s%nRecipients were:%nFrom Address: %s%nTo Addressees: %s%nCC Addressees: %s%nBCC Addressees: %s%n",
               "送信失敗: SWN::CDOSYS 直接送信でメールの送信に失敗しました。メッセージ: %n%s%n宛先:%n差出人アドレス: %s%nTo 宛先: %s%nCC 宛先: %s%nBCC 宛先: %s%n",
               "发送失败: SWN::CDOSYS 直接发送邮件失败。消息为: %n%s%n收件人为:%n发件人地址: %s%n收件人 (To): %s%n抄送 (CC): %s%n密送 (BCC): %s%n"}},
        {143, {"CDOSYS Components not installed on this Platform.  Please see your Bugtrellis administrator",
               "このプラットフォームには CDOSYS コンポーネントがインストールされていません。Bugtrellis 管理者に連絡してください",
               "此平台未安装 CDOSYS 组件。请联系您的 Bugtrellis 管理员"}},
        {144, {"Listening on Port %s", "ポート %s で待ち受けています", "正在监听端口 %s"}},
        {145, {"Bugtrellis Credentials", "Bugtrellis 認証情報", "Bugtrellis 凭据"}},
        {146, {"BT Login ID", "BT ログイン ID", "BT 登录 ID"}},
        {147, {"Password", "パスワード", "密码"}},
        {148, {"Schema Repository", "スキーマリポジトリ", "架构存储库"}},
        {149, {"Database", "データベース", "数据库"}},
        {150, {"OK", "OK", "确定"}},
        {151, {"Cancel", "キャンセル", "取消"}},
        {152, {"BT Mail Delivery fail : Code %s", "BT メール配信失敗 : コード %s", "BT 邮件投递失败 : 代码 %s"}},
        {153, {"Copyright (c) Swiftnote Relay developers. All rights reserved.",
               "Copyright (c) Swiftnote Relay 開発者。All rights reserved.",
               "Copyright (c) Swiftnote Relay 开发者。保留所有权利。"}},
        {154, {"Post Office Credentials", "ポストオフィス認証情報", "邮局凭据"}},
        {155, {"Listener port '%s' is not a TCP port from 1 to 65535; the listener stays closed",
               "待ち受けポート '%s' は 1 から 65535 の TCP ポートではありません。待ち受けは開始されません",
               "监听端口 '%s' 不是 1 到 65535 之间的 TCP 端口; 监听器保持关闭"}},
        {156, {"Cannot listen on port %s: %s", "ポート %s で待ち受けできません: %s", "无法监听端口 %s: %s"}},
        {157, {"Connection from [%s] refused: all %s connection slots are busy",
               "[%s] からの接続を拒否しました: %s 個の接続スロットがすべて使用中です",
               "已拒绝来自 [%s] 的连接: 全部 %s 个连接槽均在使用中"}},
        {158, {"Request from [%s] dropped: it grew beyond %s MB", "[%s] からの要求を破棄しました: %s MB を超えました",
               "已丢弃来自 [%s] 的请求: 超过 %s MB"}},
        {159, {"Delivery of the document from [%s] failed: %s", "[%s] からのドキュメントの配信に失敗しました: %s",
               "来自 [%s] 的文档投递失败: %s"}},
        {160, {"Header '%s' refused: a header name or value must not contain a line break",
               "ヘッダー '%s' を拒否しました: ヘッダー名と値に改行を含めることはできません",
               "已拒绝标头 '%s': 标头名称或值不得包含换行符"}},
        {161, {"The mail document has no element '%s'", "メールドキュメントに要素 '%s' がありません", "邮件文档中没有元素 '%s'"}},
        {162, {"Attachment '%s' could not be staged: %s", "添付ファイル '%s' を一時保存できませんでした: %s",
               "无法暂存附件 '%s': %s"}},
        {163, {"The SMTP server text '%s' has no valid port", "SMTP サーバーの指定 '%s' のポートが正しくありません",
               "SMTP 服务器设置 '%s' 的端口无效"}},
        {164, {"Post office record %s stays queued: %s", "ポストオフィスのレコード %s はキューに残ります: %s",
               "邮局记录 %s 保留在队列中: %s"}},
        {165, {"Post office record %s kept for the next poll: the mail server did not take it",
               "ポストオフィスのレコード %s は次回のポーリングまで保持されます: メールサーバーが受け取りませんでした",
               "邮局记录 %s 保留到下次轮询: 邮件服务器未接收"}},
        {166, {"Poll interval '%s' is not a whole number from 0 to 32767; the interval stays %s seconds",
               "ポーリング間隔 '%s' は 0 から 32767 の整数ではありません。間隔は %s 秒のままです",
               "轮询间隔 '%s' 不是 0 到 32767 之间的整数; 间隔仍为 %s 秒"}},
        {167, {"Post office poll failed: %s", "ポストオフィスのポーリングに失敗しました: %s", "邮局轮询失败: %s"}},
        {168, {"The tracker session could not be created: %s", "トラッカーのセッションを作成できませんでした: %s",
               "无法创建跟踪器会话: %s"}},
        {169, {"The settings could not be saved to %s", "設定を %s に保存できませんでした", "无法将设置保存到 %s"}},
        {170, {"Stopping on signal %s", "シグナル %s により終了します", "收到信号 %s, 正在退出"}},
        {171, {"Echo file could not be written: %s", "エコーファイルを書き込めませんでした: %s", "无法写入回显文件: %s"}},
        {172, {"The statistics counters cannot count any further", "統計カウンターがこれ以上数えられません", "统计计数器已无法继续计数"}},
        {173, {"Connection from [%s] closed: %s", "[%s] からの接続を閉じました: %s", "已关闭来自 [%s] 的连接: %s"}},
        {174, {"Connection from [%s] refused: the address is not in AllowedClients",
               "[%s] からの接続を拒否しました: このアドレスは AllowedClients にありません",
               "已拒绝来自 [%s] 的连接: 该地址不在 AllowedClients 中"}},
        {175, {"Any host that can reach port %s may send mail through this relay; set AllowedClients to restrict it",
               "ポート %s に到達できるすべてのホストがこの中継でメールを送信できます。制限するには AllowedClients を設定してください",
               "任何能访问端口 %s 的主机都可以通过此中继发送邮件; 请设置 AllowedClients 加以限制"}},
        {176, {"Request from [%s] refused with status %s: %s", "[%s] からの要求をステータス %s で拒否しました: %s",
               "来自 [%s] 的请求已被拒绝, 状态 %s: %s"}},
        {177, {"Document from [%s] kept for a later attempt: %s", "[%s] からのドキュメントを後で再送するため保存しました: %s",
               "来自 [%s] 的文档已保存以便稍后重试: %s"}},
        {178, {"Kept document %s delivered", "保存していたドキュメント %s を配信しました", "已投递保存的文档 %s"}},
        {179, {"Kept document %s could not be delivered for %s days and was moved to %s",
               "保存していたドキュメント %s は %s 日間配信できなかったため %s に移動しました",
               "保存的文档 %s 已 %s 天无法投递, 已移至 %s"}},
        {180, {"The spool folder %s cannot be used: %s", "スプールフォルダー %s を使用できません: %s", "无法使用队列文件夹 %s: %s"}},
        {181, {"Post office record %s was delivered but could not be removed from the queue: %s; only its removal will be retried",
               "ポストオフィスのレコード %s は配信済みですがキューから削除できませんでした: %s。削除のみ再試行します",
               "邮局记录 %s 已投递但无法从队列中删除: %s; 将只重试删除"}},
        {182, {"Post office record %s set aside and not retried: %s", "ポストオフィスのレコード %s を保留にし、再試行しません: %s",
               "邮局记录 %s 已搁置, 不再重试: %s"}},
        {183, {"Another relay is polling database %s (%s); waiting until it stops",
               "別の中継がデータベース %s をポーリングしています (%s)。停止するまで待機します",
               "另一个中继正在轮询数据库 %s (%s); 等待其停止"}},
        {184, {"Tracker login failed: %s; it is tried again at every poll", "トラッカーへのログインに失敗しました: %s。ポーリングごとに再試行します",
               "跟踪器登录失败: %s; 每次轮询时都会重试"}},
        {185, {"Tracker login succeeded; polling database %s", "トラッカーへのログインに成功しました。データベース %s をポーリングします",
               "跟踪器登录成功; 正在轮询数据库 %s"}},
        {187, {"AllowedClients entry '%s' is not an address or a prefix; it is ignored",
               "AllowedClients の項目 '%s' はアドレスでもプレフィックスでもないため無視します",
               "AllowedClients 项 '%s' 不是地址或前缀; 已忽略"}},
        {186, {"The mail document is not valid %s text at byte %s", "メールドキュメントは正しい %s テキストではありません (バイト %s)",
               "邮件文档不是有效的 %s 文本 (第 %s 字节)"}},
        {188, {"The SMTP settings cannot be used: %s; mail is kept until they are corrected",
               "SMTP の設定を使用できません: %s。設定が修正されるまでメールは保持されます",
               "无法使用 SMTP 设置: %s; 在设置更正之前邮件将被保留"}},
        {189, {"The mail document holds a character reference that XML does not allow (%s); it was replaced by U+FFFD",
               "メールドキュメントに XML で許可されていない文字参照 (%s) があります。U+FFFD に置き換えました",
               "邮件文档包含 XML 不允许的字符引用 (%s); 已替换为 U+FFFD"}},
        {190, {"Header '%s' refused: %s", "ヘッダー '%s' を拒否しました: %s", "已拒绝标头 '%s': %s"}},
        {191, {"The transport setting '%s' is not known; mail goes through SMTP",
               "送信方式の設定 '%s' は不明です。メールは SMTP で送信します",
               "传输方式设置 '%s' 未知; 邮件将通过 SMTP 发送"}},
        {192, {"Kept document %s was delivered but cannot be removed: %s; only its removal is tried again",
               "保存していたドキュメント %s は配信済みですが削除できません: %s。削除のみを再試行します",
               "保存的文档 %s 已投递但无法删除: %s; 仅重试删除"}},
        {193, {"The spool %s is in use by %s; network relay mode does not start on it",
               "スプール %s は %s が使用中です。ネットワーク中継モードは開始しません",
               "队列 %s 正由 %s 使用; 网络中继模式不会在其上启动"}},
        {194, {"Stopping: waiting at most %s seconds for %s deliveries under way",
               "停止します: 最大 %s 秒、実行中の %s 件の配信を待ちます",
               "正在停止: 最多等待 %s 秒以完成 %s 个进行中的投递"}},
        {195, {"Stopping: %s deliveries did not finish in time; their mail is kept and tried again at the next start",
               "停止します: %s 件の配信が時間内に終わりませんでした。メールは保存され、次回の起動時に再試行します",
               "正在停止: %s 个投递未能及时完成; 其邮件已保存, 将在下次启动时重试"}},
        {196, {"Failed document %s removed from %s to keep it under %s MB",
               "失敗したドキュメント %s を %s から削除しました (%s MB 未満に保つため)",
               "失败的文档 %s 已从 %s 中删除, 以使其保持在 %s MB 以下"}},
        {197, {"Listening on %s, port %s", "%s のポート %s で待ち受けています", "正在 %s 的端口 %s 上监听"}},
        {198, {"Connection from [%s] refused: no connection slot is free (%s refused in the last minute)",
               "[%s] からの接続を拒否しました: 空いている接続スロットがありません (直近 1 分間に %s 件拒否)",
               "已拒绝来自 [%s] 的连接: 没有空闲的连接槽 (最近一分钟拒绝 %s 次)"}},
        {199, {"ListenAddress cannot be used: %s; the listener stays closed",
               "ListenAddress を使用できません: %s。待ち受けは閉じたままです",
               "无法使用 ListenAddress: %s; 监听器保持关闭"}},
        {200, {"AllowedClients cannot be used: %s; no client is admitted",
               "AllowedClients を使用できません: %s。どのクライアントも受け付けません",
               "无法使用 AllowedClients: %s; 不接受任何客户端"}},
        {201, {"Settings reloaded from %s: %s", "%s から設定を再読み込みしました: %s", "已从 %s 重新加载设置: %s"}},
        {202, {"Running as a service, without a window: %s", "ウィンドウなしのサービスとして実行しています: %s",
               "正在作为服务运行, 没有窗口: %s"}},
        {203, {"Relaying in %s mode: %s; SMTP server %s (%s); spool %s; settings %s",
               "%s モードで中継します: %s。SMTP サーバー %s (%s)。スプール %s。設定 %s",
               "以 %s 模式中继: %s; SMTP 服务器 %s (%s); 队列 %s; 设置 %s"}},
        {204, {"Metrics are served on http://%s/metrics", "メトリクスを http://%s/metrics で提供しています",
               "指标在 http://%s/metrics 上提供"}},
        {205, {"MetricsListen '%s' cannot be used: %s", "MetricsListen '%s' を使用できません: %s", "无法使用 MetricsListen '%s': %s"}},
        {206, {"The mail server takes mail again; %s", "メールサーバーが再びメールを受け付けています。%s", "邮件服务器重新接收邮件; %s"}},
        {207, {"The mail server is still unavailable; further polls say nothing more until that changes",
               "メールサーバーはまだ利用できません。状況が変わるまで以後のポーリングでは記録しません",
               "邮件服务器仍不可用; 在情况改变之前, 后续轮询不再记录"}},
        {208, {"The control socket %s cannot be used: %s", "制御ソケット %s を使用できません: %s", "无法使用控制套接字 %s: %s"}},
        {209, {"Kept document %s: %s", "保存していたドキュメント %s: %s", "保存的文档 %s: %s"}},
        {210, {"ListenAddress entry '%s' is not an address; it is ignored",
               "ListenAddress の項目 '%s' はアドレスではないため無視します",
               "ListenAddress 项 '%s' 不是地址; 已忽略"}},
        {211, {"Metrics on %s have no authentication and can be read from other hosts; listen on a loopback address to keep them local",
               "%s のメトリクスには認証がなく、他のホストから読み取れます。ローカルに限るにはループバックアドレスで待ち受けてください",
               "%s 上的指标没有身份验证, 其他主机也可读取; 如需仅限本机, 请监听环回地址"}},
        // Notices to the administrator.
        {230, {"Notice about %s sent to %s", "%s についての通知を %s に送信しました", "已将关于 %s 的通知发送到 %s"}},
        {231, {"No notice about %s: NotifyAddress is not set and the document names no administrator",
               "%s についての通知はありません: NotifyAddress が設定されておらず、ドキュメントに管理者の指定もありません",
               "没有关于 %s 的通知: 未设置 NotifyAddress, 文档也未指定管理员"}},
        {232, {"Notice about %s could not be sent to %s: %s; it is dropped",
               "%s についての通知を %s に送信できませんでした: %s。通知は破棄します",
               "无法将关于 %s 的通知发送到 %s: %s; 该通知已丢弃"}},
        {233, {"More than %s notices in an hour; the rest go out in one summary at %s",
               "1 時間の通知が %s 件を超えました。残りは %s にまとめて送信します",
               "一小时内的通知超过 %s 条; 其余的将在 %s 汇总发送"}},
        {234, {"No notice about %s: it is itself a report or an automatic mail",
               "%s についての通知はありません: それ自体がレポートまたは自動送信メールです",
               "没有关于 %s 的通知: 它本身是报告或自动邮件"}},
        {235, {"Relay notice: mail not delivered: %s", "リレーからの通知: メールを配信できませんでした: %s",
               "中继通知: 邮件未能投递: %s"}},
        {236, {"Relay notice: mail delayed: %s", "リレーからの通知: メールの配信が遅れています: %s",
               "中继通知: 邮件延迟投递: %s"}},
        {237, {"The relay could not deliver mail %s to the recipients below and will not try again. The delivery status and the mail's header follow.",
               "リレーはメール %s を下記の宛先に配信できず、再試行しません。配信状態とメールのヘッダーを以下に示します。",
               "中继无法将邮件 %s 投递给下列收件人, 并且不会再试。投递状态和邮件标头如下。"}},
        {238, {"Mail %s has waited %s hours and has not reached the recipients below yet. The relay keeps trying until %s; nothing needs to be done unless it fails.",
               "メール %s は %s 時間待機しており、まだ下記の宛先に届いていません。リレーは %s まで再試行します。失敗しない限り対応は不要です。",
               "邮件 %s 已等待 %s 小时, 尚未送达下列收件人。中继将重试至 %s; 除非失败, 否则无需处理。"}},
        {239, {"Relay notice: %s more mails not delivered or delayed", "リレーからの通知: ほかに %s 件のメールが未配信または遅延しています",
               "中继通知: 另有 %s 封邮件未投递或延迟"}},
        {240, {"More than %s notices were due within an hour; those below were not sent one by one.",
               "1 時間に %s 件を超える通知がありました。下記のものは個別には送信していません。",
               "一小时内应发送的通知超过 %s 条; 下列各项未单独发送。"}},
        // The window's queue group and the Queue dialog.
        {260, {"Queue", "キュー", "队列"}},
        {261, {"Kept", "保存中", "已保存"}},
        {262, {"Failed", "失敗", "失败"}},
        {263, {"Last failure", "最後の失敗", "上次失败"}},
        {264, {"Next try", "次の試行", "下次尝试"}},
        {265, {"Mail server", "メールサーバー", "邮件服务器"}},
        {266, {"Queue...", "キュー...", "队列..."}},
        {267, {"%s (oldest %s)", "%s (最古 %s)", "%s (最早 %s)"}},
        {268, {"now", "今すぐ", "立即"}},
        {269, {"in %s", "%s 後", "%s 后"}},
        {270, {"reachable", "到達可能", "可访问"}},
        {271, {"believed away", "不在とみなしています", "视为不可用"}},
        {272, {"Set aside", "保留", "已搁置"}},
        {273, {"no spool", "スプールなし", "无队列目录"}},
        {274, {"Id", "ID", "ID"}},
        {275, {"State", "状態", "状态"}},
        {276, {"Age", "経過時間", "时长"}},
        {277, {"Subject", "件名", "主题"}},
        {278, {"Recipients", "宛先", "收件人"}},
        {279, {"Reason", "理由", "原因"}},
        {280, {"Retry now", "今すぐ再試行", "立即重试"}},
        {281, {"Delete", "削除", "删除"}},
        {282, {"Requeue", "キューに戻す", "重新排队"}},
        {283, {"Refresh", "更新", "刷新"}},
        {284, {"Close", "閉じる", "关闭"}},
        {285, {"kept", "保存中", "已保存"}},
        {286, {"failed", "失敗", "失败"}},
        {287, {"set aside", "保留", "已搁置"}},
        {288, {"all", "全員", "全部"}},
        {289, {"Delete %s? Its mail will never be sent.", "%s を削除しますか? そのメールは送信されなくなります。",
               "删除 %s? 其邮件将永远不会发送。"}},
        {290, {"(unreadable: %s)", "(読み取れません: %s)", "(无法读取: %s)"}},
    };
    return t;
}

std::optional<Language> pinnedLanguage;

} // namespace

CatalogueError::CatalogueError(int id)
    : std::runtime_error("no text for message " + std::to_string(id)), id_(id) {}

Language SystemLanguage()
{
    const QLocale locale = QLocale::system();
    switch (locale.language()) {
    case QLocale::Japanese:
        return Language::Japanese;
    case QLocale::Chinese:
        // Traditional-script locales read the English table rather than the mainland one.
        if (locale.script() == QLocale::TraditionalChineseScript)
            return Language::English;
        return Language::SimplifiedChinese;
    default:
        return Language::English;
    }
}

void SetCatalogueLanguage(std::optional<Language> language) { pinnedLanguage = language; }

Language CatalogueLanguage() { return pinnedLanguage ? *pinnedLanguage : SystemLanguage(); }

bool HasResourceString(int id) { return table().count(id) != 0; }

QString LoadResourceString(int id, Language language)
{
    const auto it = table().find(id);
    if (it == table().end())
        throw CatalogueError(id);
    switch (language) {
    case Language::Japanese:
        return QString::fromUtf8(it->second.ja);
    case Language::SimplifiedChinese:
        return QString::fromUtf8(it->second.zh);
    case Language::English:
        break;
    }
    return QString::fromUtf8(it->second.en);
}

QString LoadResourceString(int id) { return LoadResourceString(id, CatalogueLanguage()); }

QString EscapeControls(const QString& value)
{
    auto needs = [](char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029; };
    if (std::none_of(value.cbegin(), value.cend(), [&](QChar c) { return needs(c.unicode()); }))
        return value;
    QString out;
    out.reserve(value.size() + 8);
    for (const QChar c : value) {
        const char16_t u = c.unicode();
        if (!needs(u))
            out += c;
        else if (u == '\n')
            out += QLatin1String("\\n");
        else if (u == '\r')
            out += QLatin1String("\\r");
        else if (u == '\t')
            out += QLatin1String("\\t");
        else
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
    }
    return out;
}

QString FormatResourceText(QString text, const QVariantList& params)
{
    static const QString undefined = QStringLiteral("<<UNDEFINED>>");
    // Each round fills the first "%s" or "%S" while a case-sensitive "%s" is left anywhere, and
    // the next round starts over, so a value's own "%s" is filled by the next value. Values come
    // from documents, so this must stay linear: what lies before the filled place never holds a
    // placeholder and is final; the rest is kept reversed so that a value is put in front of it
    // in time proportional to the value, and the count of "%s" left is kept up to date.
    auto isPair = [](QChar a, QChar b) { return a == QLatin1Char('%') && b == QLatin1Char('s'); };
    std::vector<QChar> rest(text.crbegin(), text.crend());
    qsizetype left = text.count(QLatin1String("%s"), Qt::CaseSensitive);
    QString done;
    done.reserve(text.size());
    qsizetype next = 0;
    auto front = [&rest](size_t i) { return rest[rest.size() - 1 - i]; };
    while (left > 0) {
        while (!(rest.size() >= 2 && front(0) == QLatin1Char('%') &&
                 (front(1) == QLatin1Char('s') || front(1) == QLatin1Char('S')))) {
            done += rest.back();
            rest.pop_back();
        }
        if (front(1) == QLatin1Char('s'))
            --left;
        rest.resize(rest.size() - 2);
        // A value is data: a line break in it must not start a line of its own in the log.
        const QString insert = next < params.size() ? EscapeControls(params[next++].toString()) : undefined;
        const bool hasBefore = !done.isEmpty(), hasAfter = !rest.empty();
        const QChar before = hasBefore ? done.back() : QChar(), after = hasAfter ? rest.back() : QChar();
        if (insert.isEmpty()) {
            left += hasBefore && hasAfter && isPair(before, after);
        } else {
            left += insert.count(QLatin1String("%s"), Qt::CaseSensitive);
            left += hasBefore && isPair(before, insert.front());
            left += hasAfter && isPair(insert.back(), after);
            rest.insert(rest.end(), insert.crbegin(), insert.crend());
        }
        // A "%" just before the filled place may pair with the value's first letter.
        if (hasBefore) {
            rest.push_back(done.back());
            done.chop(1);
        }
    }
    done.append(QStringView(rest.data(), qsizetype(rest.size())));
    std::reverse(done.end() - qsizetype(rest.size()), done.end());
    done.replace(QLatin1String("%n"), QLatin1String("\r\n"), Qt::CaseSensitive);
    return done;
}

QString BuildResourceMessage(int id, const QVariantList& params)
{
    return FormatResourceText(LoadResourceString(id), params);
}

int SystemCodePage()
{
    // Only the character type matters here; asking it must not change the program's locale.
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    std::string saved = current ? current : "C";
    std::setlocale(LC_CTYPE, "");
    std::string codeset = nl_langinfo(CODESET);
    std::setlocale(LC_CTYPE, saved.c_str());
    for (auto& c : codeset)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    codeset.erase(std::remove(codeset.begin(), codeset.end(), '-'), codeset.end());
    codeset.erase(std::remove(codeset.begin(), codeset.end(), '_'), codeset.end());
    if (codeset == "SHIFTJIS" || codeset == "SJIS" || codeset == "CP932" || codeset == "WINDOWS31J" || codeset == "MSKANJI")
        return 932;
    if (codeset == "GBK" || codeset == "GB2312" || codeset == "CP936" || codeset == "EUCCN")
        return 936;
    if (codeset == "UTF8")
        return 65001;
    return 1252;
}

} // namespace swn
