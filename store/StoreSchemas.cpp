#include "store/StoreSchemas.h"

namespace {

TFieldDef Str(const char *name, int width, int display = 0) {
    return {QString::fromLatin1(name), TFieldKind::ftString, width, display, true, false};
}
TFieldDef Field(const char *name, TFieldKind kind, int display = 0) {
    return {QString::fromLatin1(name), kind, 0, display, true, false};
}

constexpr auto Int = TFieldKind::ftInteger;
constexpr auto AutoInc = TFieldKind::ftAutoInc;
constexpr auto Bool = TFieldKind::ftBoolean;
constexpr auto Float = TFieldKind::ftFloat;
constexpr auto DateTime = TFieldKind::ftDateTime;

TTableSchema Schema(const char *name, std::vector<TFieldDef> fields) {
    TTableSchema s;
    s.Name = QString::fromLatin1(name);
    s.Fields = std::move(fields);
    return s;
}

TIndexDef Index(const char *name, QStringList fields, bool unique) {
    return {QString::fromLatin1(name), std::move(fields), unique};
}

} // namespace

TTableSchema TStoreSchemas::Proxies() {
    TTableSchema s =
        Schema("cdsProxies",
               {Str("IPAddress", 50, 18), Str("HostName", 100, 12), Field("UID", AutoInc, 12),
                Field("LastChecked", DateTime, 12), Field("Status", Int, 12), Str("Desc", 250, 12),
                Field("HostType", Int, 12), Field("SSLSupport", Bool, 12), Field("Port", Int, 12),
                Field("Enabled", Bool, 12), Field("Speed", Float), Field("CurrHostNameType", Int),
                Field("Country", Int)});
    s.Fields.back().Visible = false; // in the file only; nothing reads or writes it
    s.Index = Index("cdsProxiesIndex3", {QStringLiteral("UID")}, true);
    s.DefaultOrder = true;
    return s;
}

TTableSchema TStoreSchemas::ChainedProxies() {
    TTableSchema s =
        Schema("cdsChainedProxies",
               {Field("UID", AutoInc, 9), Field("DateAdded", DateTime, 21), Str("Desc", 250, 14),
                Field("Enabled", Bool, 12), Field("Status", Int), Field("LastChecked", DateTime),
                Field("LocalServerPort", Int), Field("LocalServerStatus", Int),
                Field("LocalServerEnabled", Bool), Field("AutoCreateChain", Bool),
                Field("ChangeEvery", Int), Field("NoOfProxies", Int), Field("Hidden", Bool)});
    s.Index = Index("cdsChainedProxiesIndex1", {QStringLiteral("UID")}, true);
    return s;
}

TTableSchema TStoreSchemas::ChainedProxyProxies() {
    TTableSchema s =
        Schema("cdsChainedProxyProxies",
               {Field("ChainUID", Int, 15),
                Field("ProxyUID", Int, 15),
                Field("LastChecked", DateTime),
                Field("Status", Int),
                Field("OrderInChain", Int, 18),
                Field("Hidden", Bool),
                Field("UID", AutoInc),
                // Looked up from the proxy named by ProxyUID; in memory only.
                {QStringLiteral("IPaddrLookup"), TFieldKind::ftString, 150, 180, true, true},
                {QStringLiteral("portlookup"), TFieldKind::ftString, 50, 0, true, true}});
    s.Index = Index("cdsChainedProxyProxiesIndex1",
                    {QStringLiteral("ChainUID"), QStringLiteral("UID")}, false);
    return s;
}

TTableSchema TStoreSchemas::Settings() {
    return Schema("cdsSettings", {Field("AllowLocalHostOnly", Bool), Field("TimeOut", Int),
                                  Field("SessionsTimeOut", Int)});
}

TTableSchema TStoreSchemas::AnonymizedList() {
    return Schema("cdsAnonymizedList",
                  {Field("UID", AutoInc), Str("Filename", 150), Field("Disabled", Bool),
                   Str("Desc", 200), Field("NoOfProxy", Int), Field("Enabled", Bool),
                   Field("ChainUID", Int), Field("ChainPort", Int)});
}
