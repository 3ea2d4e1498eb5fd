#pragma once
// The schemas of the store's five tables, in stored column order. Each one,
// written with no rows, is exactly the empty table file of its table.

#include "store/TableSchema.h"

class TStoreSchemas {
public:
    static TTableSchema Proxies();             // "Proxies.cds"
    static TTableSchema ChainedProxies();      // "ChainedProxies.cds"
    static TTableSchema ChainedProxyProxies(); // "ChainedProxyProxies.cds"
    static TTableSchema Settings();            // "settings.cds"
    static TTableSchema AnonymizedList();      // "AnonymizedList.cds"
};
