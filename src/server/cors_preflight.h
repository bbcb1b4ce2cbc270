#pragma once

#include <libwebsockets.h>

namespace quillmark {

// Answers a browser's CORS preflight: an OPTIONS request that carries
// Access-Control-Request-Method. A page that posts JSON (Content-Type: application/json) sends
// one before its request and waits for the answer, and browsers that guard local addresses
// also want the private-network grant in it. The answer is 204 with every origin allowed,
// POST as the method, the requested headers echoed and the private-network grant.
//
// Called when a request's headers are complete. Any other request is left untouched (0), so
// a POST goes on to its body and a plain OPTIONS or GET still gets no answer. After an
// answer, 0 keeps the connection for the next request and -1 closes it (also when the answer
// cannot be written, and after a preflight that carries a body).
int answerCorsPreflight(lws* wsi);

}  // namespace quillmark
