#pragma once

#include <memory>

#include "LoginRoutes.h"

namespace standin {

class Server;
class StateFile;

// The market: POST "/v2/market/{list,featured,detail,favorites,favorite,orders,buy,status,
// download}" and "/v2/pay/channels", GET "/market/file/<ticket>" (the packages, made by
// our packer when the market is first asked for), "/market/media/{cover,banner}/<id>.png" and
// "/market/media/preview.mp4" (Range supported; a placeholder when ffmpeg was missing at
// build time), "/market/blob?bytes=N&name=X" (N bytes never stored, for large, cut or slow
// downloads with any name). Each member has their own favourites,
// orders (a free claim is an order of amount 0) and owned plug-ins, kept in `state`; a
// token that is no session has its own. Controls: "/__test/market/pay", ".../close",
// ".../expire" ({"orderNo"}; the newest pending order when absent), ".../state" ({"enabled",
// "payEnabled"}), ".../orders" (every order).
void addMarketRoutes(Server& server, std::shared_ptr<StateFile> state, MemberOf memberOf);

} // namespace standin
