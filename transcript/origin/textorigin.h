#pragma once

// Who put a piece of text into the transcript: the peer, the user (the echo
// of what was sent), or the program itself (its status lines and help); in
// a relay, the client or the server (what was passed on from each), and the
// user's own bytes sent to either.
// A type the transcript and connection control both speak of (with
// Conversation beside it); it has a folder of its own so that connection
// control can see it and nothing else of the transcript.
enum class TextOrigin { Received, Sent, Status, FromClient, FromServer, ToClient, ToServer };
