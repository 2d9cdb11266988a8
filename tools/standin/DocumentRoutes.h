#pragma once

namespace standin {

class Server;

// The GET documents of the service ("v2/compat.json"; later ones add theirs to the defaults)
// and the control "/__test/document", which replaces or adds one:
// {"path": "/v2/compat.json", "document": {...}} or {"path": ..., "raw": "text"};
// {"path": ..., "remove": true} makes it answer 404.
void addDocumentRoutes(Server& server);

} // namespace standin
