#pragma once
// SOCKS hop of a chain: a SOCKS connector that reports every handshake,
// successful or not, with the context ID of the client connection it serves.

#include "engine/hop/HopReport.h"
#include "engine/hop/IdSocksInfo.h"

class TMySocksProxyInfo : public TReportedHop<TIdSocksInfo> {};
