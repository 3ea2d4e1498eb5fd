#pragma once
// HTTP hop of a chain: an HTTP CONNECT connector that reports every
// handshake, successful or not, with the context ID of its client connection.

#include "engine/hop/HopReport.h"
#include "engine/hop/IdConnectThroughHttpProxy.h"

class TMyHttpProxy : public TReportedHop<TIdConnectThroughHttpProxy> {};
