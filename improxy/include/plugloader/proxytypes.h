// The instant-messaging proxy's own types, as the plugin loaders see them.
//
// The proxy defines these; the loaders and this library only pass them on
// by reference and never look inside, so declarations are all they need.
// A host or plugin that works with them includes the proxy's definitions
// as well. They are declared with `class`; a definition with `struct` names
// the same type (the class key is not part of the type's identity).
#ifndef PLUGLOADER_PROXYTYPES_H
#define PLUGLOADER_PROXYTYPES_H

class Options;   // the proxy's configuration
class Socket;    // one connection end of the proxy
class imevent;   // one instant-messaging event (message, login, ...)
class response;  // one reply that a responder plugin wants sent

#endif
