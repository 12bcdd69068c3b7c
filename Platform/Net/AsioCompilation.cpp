// The one translation unit that compiles Asio's implementation (with SSL); every
// other file that uses Asio includes only its declarations.
#include <asio/impl/src.hpp>
#include <asio/ssl/impl/src.hpp>
