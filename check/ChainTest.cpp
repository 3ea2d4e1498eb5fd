#include "check/ChainTest.h"

#include "check/TestPage.h"
#include "engine/chain/ProxyChain.h"
#include "engine/hop/IdSocksInfo.h"
#include "engine/wire/HttpGetRequest.h"
#include "engine/wire/HttpReplyDecoder.h"
#include "platform/Clock.h"
#include "platform/Resolver.h"
#include "platform/Socket.h"
#include "store/dmProxyData.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>

namespace {

bool IsAddress(const QString &text) {
    const std::string s = text.toStdString();
    return !s.empty() && (TResolver::IsIPv4Literal(s) || TResolver::IsIPv6Literal(s));
}

// The last address of a list such as httpbin's "origin" ("a, b"): the one
// nearest the page.
QString LastAddress(const QString &list) {
    const QStringList parts = list.split(u',', Qt::SkipEmptyParts);
    const QString last = parts.isEmpty() ? QString() : parts.last().trimmed();
    return IsAddress(last) ? last : QString();
}

// What the page tells about the request it received.
struct TPageFindings {
    QString ExitAddress;
    bool HeadersEchoed = false;
    QStringList Leaks;
};

// The header a leak is reported as, from a name as a page shows it ("Via",
// "HTTP_X_FORWARDED_FOR", "x-forwarded-for"); empty for any other name.
QString LeakName(QString name) {
    name = name.toUpper().replace(u'-', u'_');
    if (name.startsWith(QLatin1String("HTTP_")))
        name = name.mid(5);
    if (name == QLatin1String("VIA"))
        return QStringLiteral("Via");
    if (name == QLatin1String("X_FORWARDED_FOR"))
        return QStringLiteral("X-Forwarded-For");
    if (name == QLatin1String("FORWARDED"))
        return QStringLiteral("Forwarded");
    return {};
}

// A name that only a page showing the request's own headers has.
bool RequestHeaderName(QString name) {
    name = name.toUpper().replace(u'-', u'_');
    if (name.startsWith(QLatin1String("HTTP_")))
        name = name.mid(5);
    return name == QLatin1String("HOST") || name == QLatin1String("USER_AGENT");
}

bool JsonPage(const QByteArray &body, TPageFindings &found) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject page = document.object();
    for (const QString &key : {QStringLiteral("origin"), QStringLiteral("ip")})
        if (page.value(key).isString() && found.ExitAddress.isEmpty())
            found.ExitAddress = LastAddress(page.value(key).toString());
    const QJsonValue headers = page.value(QStringLiteral("headers"));
    if (headers.isObject()) {
        found.HeadersEchoed = true;
        const QJsonObject all = headers.toObject();
        for (auto it = all.begin(); it != all.end(); ++it) {
            const QString name = LeakName(it.key());
            if (name.isEmpty())
                continue;
            // Some echo pages give a header that came more than once as a list.
            QStringList values;
            if (it.value().isArray())
                for (const QJsonValue &v : it.value().toArray())
                    values << v.toString();
            else
                values << it.value().toString();
            for (const QString &v : values)
                found.Leaks << name + QStringLiteral(": ") + v.trimmed();
        }
    }
    return true;
}

// Text pages: "NAME = value" lines as azenv-like pages print the server's
// variables (REMOTE_ADDR, HTTP_VIA, ...), or the raw request's "Name: value"
// lines; HTML tags around them are ignored.
void TextPage(const QString &body, TPageFindings &found) {
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    static const QRegularExpression field(QStringLiteral("^\\s*([A-Za-z0-9_-]+)\\s*[:=]\\s*(.*)$"));
    for (QString line : body.split(u'\n')) {
        line.remove(tag);
        line = line.trimmed();
        const QRegularExpressionMatch m = field.match(line);
        if (!m.hasMatch())
            continue;
        const QString name = m.captured(1), value = m.captured(2).trimmed();
        if (name.compare(QLatin1String("REMOTE_ADDR"), Qt::CaseInsensitive) == 0) {
            if (found.ExitAddress.isEmpty() && IsAddress(value))
                found.ExitAddress = value;
            continue;
        }
        if (RequestHeaderName(name))
            found.HeadersEchoed = true;
        const QString leak = LeakName(name);
        if (!leak.isEmpty())
            found.Leaks << leak + QStringLiteral(": ") + value;
    }
}

TPageFindings ReadPage(const std::string &bytes) {
    TPageFindings found;
    const QByteArray body = QByteArray::fromStdString(bytes);
    const QString text = QString::fromUtf8(body).trimmed();
    if (IsAddress(text)) {
        found.ExitAddress = text;
        return found;
    }
    if (!JsonPage(body, found))
        TextPage(QString::fromUtf8(body), found);
    if (!found.HeadersEchoed)
        found.Leaks.clear(); // a page that shows no request shows no leak either
    return found;
}

// The one walked hop that is an HTTP proxy ("address:port"), or empty when
// there is none or more than one.
QString OnlyHttpHop(const TProxyChain &chain, const std::vector<QString> &walked) {
    std::vector<const TProxData *> known;
    const auto current = chain.CurrentHops();
    for (const TChainedProxyData *hops : {current.get(), &chain.ChainData()})
        if (hops)
            for (const auto &item : hops->FChainedItems)
                known.push_back(item.get());
    QString only;
    int count = 0;
    for (const QString &hop : walked)
        for (const TProxData *p : known)
            if (QStringLiteral("%1:%2").arg(p->FIPAddress).arg(p->FPort) == hop) {
                if (p->FProxyType == TProxyType::ptHTTP) {
                    only = hop;
                    ++count;
                }
                break;
            }
    return count == 1 ? only : QString();
}

QString Ms(double ms) {
    return QString::number(ms, 'f', 1) + QStringLiteral(" ms");
}

} // namespace

namespace {

// The hops walked and each one's own share of the set-up time.
void KeepSetup(const std::optional<TProxyChain::TSetup> &setup, TChainTestResult &result) {
    if (!setup)
        return;
    result.Hops = setup->HopList;
    double before = 0;
    for (double end : setup->HopMs) {
        result.HopMs.push_back(end - before);
        before = end;
    }
}

// What failed, said after the failure's own text.
QString FailedPartText(const TChainTestResult &result) {
    const QString stop = result.Error.endsWith(u'.') ? QStringLiteral(" ") : QStringLiteral(". ");
    switch (result.FailedPart) {
    case TChainTestResult::TFailedPart::ChainPort:
        return stop + QStringLiteral("The chain failed: it did not answer on its port %1 "
                                     "(test page %2).")
                          .arg(result.Port)
                          .arg(result.Url);
    case TChainTestResult::TFailedPart::Chain:
        return stop + QStringLiteral("The chain failed to reach the test page %1: one of its hops "
                                     "failed, or the page's host could not be reached from the "
                                     "last hop.")
                          .arg(result.Url);
    case TChainTestResult::TFailedPart::Page:
        return stop + QStringLiteral("The chain worked; the test page %1 failed.").arg(result.Url);
    case TChainTestResult::TFailedPart::None:
        break;
    }
    return {};
}

} // namespace

TChainTestResult TChainTest::Run(TProxyChain &chain, int timeoutMs) {
    TChainTestResult result;
    result.ChainName = chain.ChainData().FDesc;
    result.Port = chain.Port();
    const int64_t deadline = TClock::TickMs() + timeoutMs;
    const auto left = [&] {
        const int64_t ms = deadline - TClock::TickMs();
        if (ms <= 0)
            throw EVelmoraError("no answer within the time-out");
        return static_cast<int>(ms);
    };
    using TPart = TChainTestResult::TFailedPart;
    TPart part = TPart::ChainPort; // the part under way
    result.Url = TTestPage::RootURL();
    try {
        const THttpGetRequest request = TTestPage::GetRequest(result.Url);

        // Bound first, so that the chain can be told which connection is ours.
        TSocket socket = TSocket::Create(TSocket::Family::IPv4);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(socket.Fd(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
            throw ESocketError("Cannot bind a loopback socket", errno);
        const uint16_t clientPort = socket.LocalPort();
        chain.WatchSetup(clientPort);

        const int64_t startNs = TClock::TickNs();
        socket.ConnectTo("127.0.0.1", static_cast<uint16_t>(result.Port), left());
        socket.SetReadTimeout(left());
        part = TPart::Chain;
        TIdSocksInfo socks;
        socks.Version = TSocksVersion::svSocks5;
        try {
            socks.Handshake(socket, request.Host, request.Port);
        } catch (const EVelmoraError &) {
            left(); // a handshake that ran out of time says so
            throw;
        }
        // The chain's reply came after the set-up ended: it is kept by now.
        // The chain is not touched once its hops are known.
        KeepSetup(chain.TakeSetup(clientPort), result);
        const QString httpHop = OnlyHttpHop(chain, result.Hops);
        part = TPart::Page;

        socket.WriteAll(request.Encode());
        THttpReplyDecoder reply;
        uint8_t buffer[16 * 1024];
        while (!reply.Done()) {
            while (!socket.WaitReadable(left())) {
            }
            const size_t got = socket.ReadSome(buffer, sizeof buffer);
            if (got == 0)
                reply.FeedEnd();
            else
                reply.Feed(buffer, got);
            if (!reply.Error().empty())
                throw EVelmoraError(reply.Error());
        }
        if (!reply.IsSuccess())
            throw EVelmoraError("the test page answered " + reply.StatusLine());
        result.TotalMs = static_cast<double>(TClock::TickNs() - startNs) / 1e6;

        const TPageFindings page = ReadPage(reply.Body());
        result.ExitAddress = page.ExitAddress;
        result.HeadersEchoed = page.HeadersEchoed;
        result.LeakHeaders = page.Leaks;
        if (!result.LeakHeaders.isEmpty())
            result.LeakHop = httpHop;
        result.Ok = true;
    } catch (const std::exception &e) {
        result.Ok = false;
        result.Error = QString::fromUtf8(e.what());
        result.FailedPart = part;
    }
    return result;
}

QStringList TChainTest::ReportLines(const TChainTestResult &result) {
    const QString head =
        QStringLiteral("Test of chain \"%1\" (port %2): ").arg(result.ChainName).arg(result.Port);
    QStringList lines;
    lines << head + (result.Ok
                         ? QStringLiteral("OK")
                         : QStringLiteral("failed: ") + result.Error + FailedPartText(result));
    for (size_t i = 0; i < result.Hops.size(); ++i)
        lines << QStringLiteral("  hop %1 %2: %3")
                     .arg(i + 1)
                     .arg(result.Hops[i])
                     .arg(i < result.HopMs.size() ? Ms(result.HopMs[i]) : QStringLiteral("?"));
    if (!result.Ok)
        return lines;
    lines << QStringLiteral("  total: ") + Ms(result.TotalMs);
    lines << QStringLiteral("  exit address: ") +
                 (result.ExitAddress.isEmpty() ? QStringLiteral("not shown by the test page")
                                               : result.ExitAddress);
    for (const QString &leak : result.LeakHeaders)
        lines << QStringLiteral("  warning: %1 added \"%2\" (it gives away the address before it)")
                     .arg(result.LeakHop.isEmpty() ? QStringLiteral("a hop") : result.LeakHop,
                          leak);
    if (result.LeakHeaders.isEmpty())
        lines << (result.HeadersEchoed
                      ? QStringLiteral("  no Via or X-Forwarded-For header reached the page")
                      : QStringLiteral("  the test page does not show the headers it received: "
                                       "Via and X-Forwarded-For not checked"));
    return lines;
}

void TChainTest::Record(TdmProxyData &store, int32_t chainUID, const TChainTestResult &result) {
    store.UpdateChainStatus(chainUID,
                            result.Ok ? TProxyStatus::psAvailable : TProxyStatus::psUnavailable);
}
