#pragma once

#include <libwebsockets.h>

#include <string_view>

namespace quillmark {

// True when a request's Host names this agent: 127.0.0.1, localhost or [::1], each with or
// without ":7681", localhost in any case. With anyAddress (a build that listens on every
// interface) any IP address literal is taken too: a page that rebinds a DNS name to this
// machine sends that name, never an address.
bool hostNamesAgent(std::string_view host, bool anyAddress);

// Checks the Host of the request being received; a request whose Host names another server
// is logged and must be closed without a reply (false).
bool requestHostAllowed(lws* wsi);

}  // namespace quillmark
