#pragma once

namespace quillmark {

// Which endpoint a request came through: they serve different actions.
enum class Endpoint { Http, WebSocket };

}  // namespace quillmark
