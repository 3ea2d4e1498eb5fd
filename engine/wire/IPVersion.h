#pragma once
// The IP version of an address on the wire: of a client's connection, of a
// requested destination, of a hop's proxy.

enum class TIdIPVersion { Id_IPv4, Id_IPv6 };
