// messages.h: every fixed response body and every JSON template the service answers with.
// Clients match on these texts, so each is spelled here once and nowhere else.
#ifndef VELTO_CGI_MESSAGES_H
#define VELTO_CGI_MESSAGES_H

// Error bodies.
inline constexpr char BODY_NOT_CGI[] = "{\"error\":\"not a CGI request\"}";
inline constexpr char BODY_UNKNOWN_ENDPOINT[] = "{\"error\":\"unknown endpoint\"}";
inline constexpr char BODY_MISSING_BODY[] = "{\"error\":\"missing request body\"}";

inline constexpr char BODY_MISSING_FORMAT_REP[] = "{\"error\":\"missing format_rep\"}";
inline constexpr char BODY_FORMAT_REP_TOO_SHORT[] = "{\"error\":\"format_rep too short\"}";
inline constexpr char BODY_INVALID_HEX[] = "{\"error\":\"invalid hex in format_rep\"}";
inline constexpr char BODY_LENGTH_MISMATCH[] = "{\"error\":\"format_rep_length mismatch\"}";
inline constexpr char BODY_CANNOT_WRITE_FORMAT[] = "{\"error\":\"cannot write format file\"}";
inline constexpr char BODY_MISSING_FORMAT_ID[] = "{\"error\":\"missing format id\"}";
inline constexpr char BODY_FORMAT_NOT_FOUND[] = "{\"error\":\"format not found\"}";
inline constexpr char BODY_READ_ERROR[] = "{\"error\":\"read error\"}";

inline constexpr char BODY_MISSING_STRING_OR_ATOM[] = "{\"error\":\"missing string or atom\"}";
inline constexpr char BODY_CANNOT_WRITE_ATOM[] = "{\"error\":\"cannot write atom file\"}";
inline constexpr char BODY_CANNOT_WRITE_ATOM_VALUE[] =
    "{\"error\":\"cannot write atom value file\"}";
inline constexpr char BODY_ATOM_NOT_FOUND[] = "{\"error\":\"atom not found\"}";
inline constexpr char BODY_ATOM_VALUE_NOT_FOUND[] = "{\"error\":\"atom value not found\"}";
inline constexpr char BODY_CORRUPT_ATOM[] = "{\"error\":\"corrupt atom file\"}";
inline constexpr char BODY_CORRUPT_ATOM_VALUE[] = "{\"error\":\"corrupt atom value file\"}";

// Success bodies and templates. Values are inserted as raw bytes, never escaped.
inline constexpr char BODY_ATOM_REGISTERED[] = "{\"ok\":true}";
inline constexpr char TEMPLATE_HEALTH[] =
    "{\"status\":\"ok\",\"format_count\":%d,\"atom_count\":%d}";
inline constexpr char TEMPLATE_SERVER_ID[] = "{\"server_id\":\"%s\"}";
inline constexpr char TEMPLATE_ATOM[] = "{\"atom\":%d}";
inline constexpr char TEMPLATE_STRING[] = "{\"string\":\"%s\"}";
// The fetched representation can be megabytes of hex, written straight into the answer block
// between these two halves of {"format_rep":"%s"} rather than copied through a formatter.
inline constexpr char FORMAT_REP_OPEN[] = "{\"format_rep\":\"";
inline constexpr char FORMAT_REP_CLOSE[] = "\"}";

// Keys of the request body fields.
inline constexpr char KEY_FORMAT_REP[] = "format_rep";
inline constexpr char KEY_STRING[] = "string";
inline constexpr char KEY_ATOM[] = "atom";

#endif  // VELTO_CGI_MESSAGES_H
