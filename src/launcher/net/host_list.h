// The host-list request and the reading of its reply on the connection to
// the directory server. Both talk only to the socket and to the platform's
// message box; the dialog decides when to call them and what to show.
#pragma once

#include <string>
#include <vector>

class CAsyncSocket;

// Shown when a request cannot go out: its send fails, or the connection it
// needs cannot be opened again.
inline constexpr char kSendFailMessage[] = "Server Data Send Fail!";

// One send of the request; a short send is not continued. A failed send is
// shown as kSendFailMessage and nothing else happens (no retry).
void SendHostListRequest(CAsyncSocket& socket);

// Reads one reply (at most kReplyBufferSize bytes) and returns its entries
// as HostListEntries gives them.
std::vector<std::string> ReceiveHostList(CAsyncSocket& socket);
