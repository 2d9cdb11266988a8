#pragma once

namespace standin {

class Server;

// "/v2/verify", "/v2/getLoginQrcode", "/v2/getLogin", "/v2/profile/nickname" and the
// controls "/__test/scan", "/__test/expire" and "/__test/state".
void addLoginRoutes(Server& server);

} // namespace standin
