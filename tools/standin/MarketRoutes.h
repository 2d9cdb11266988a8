#pragma once

namespace standin {

class Server;

// The market: POST "/v2/market/{list,featured,detail,favorites,favorite,orders,buy,status,
// download}" and "/v2/pay/channels", GET "/market/file/<ticket>" (the packages, made by
// our packer when the server starts), "/market/media/{cover,banner}/<id>.png" and
// "/market/media/preview.mp4" (Range supported; a placeholder when ffmpeg was missing at
// build time), "/market/blob?bytes=N&name=X" (N bytes never stored, for large, cut or slow
// downloads with any name). Each session token has its own
// favourites, orders and owned plug-ins. Controls: "/__test/market/pay", ".../close",
// ".../expire" ({"orderNo"}; the newest order when absent), ".../state" ({"enabled",
// "payEnabled"}), ".../orders" (every order).
void addMarketRoutes(Server& server);

} // namespace standin
