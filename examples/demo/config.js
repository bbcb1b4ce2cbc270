// Where the agent listens (its WebSocket is the same address with ws:), and the secure-mode
// key and IV. The key and IV must be the ones
// the agent was built with: the CMake cache variables QUILLMARK_PAYLOAD_KEY and
// QUILLMARK_PAYLOAD_IV (the values below are their defaults). scripts/demo.sh serves this
// file with the values of its own build.
window.QUILLMARK_CONFIG = {
  httpUrl: "http://127.0.0.1:7681/",
  payloadKeyHex: "10a4e3ae1fc35be7bb511778af1b9a6abf943d7bab2682788d0acfd0e3a24bc5",
  payloadIvHex: "4d90a7eb5cff26731e0633e86d030937",
};
