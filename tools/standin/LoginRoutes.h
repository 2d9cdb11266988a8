#pragma once

#include <functional>
#include <memory>
#include <string>

namespace standin {

class Server;
class StateFile;

// The member key of a live session's token; empty for any other token.
using MemberOf = std::function<std::string(const std::string& token)>;

// "/v2/verify", "/v2/getLoginQrcode", "/v2/getLogin", "/v2/profile/nickname" and the
// controls "/__test/scan", "/__test/expire" and "/__test/state". Sessions and members are
// kept in `state`.
MemberOf addLoginRoutes(Server& server, std::shared_ptr<StateFile> state);

} // namespace standin
