// The process of an encrypted session: it connects to the relay, is the TLS server of the
// operator's viewer (a certificate from the deployment's CA required, the CRL applied), and only
// then starts x11vnc, plain, on a private socket pair; it passes the bytes between the two until
// either ends. session_gate.h holds the handshake it speaks; agent_sessions.cpp starts it.
#pragma once

#include <sys/types.h>
#include <string>

#include "agent/options.h"
#include "agent/protocol.h"

namespace talagent {

// Starts session `id` to `target` in a process group of its own; x11vnc, when it starts, is in
// the same group, so ending the group ends the session. Returns the pid, or -1 with `error` set.
// The process exits with 0 when a session ran and ended, otherwise with non-zero after logging
// why (a viewer refused, x11vnc not started).
pid_t SpawnSecureSession(const Options& options, const std::string& id, const Endpoint& target,
                         Right right, std::string& error);

}  // namespace talagent
