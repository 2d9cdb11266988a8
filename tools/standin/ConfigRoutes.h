#pragma once

namespace standin {

class Server;

// The remote configuration documents ("/v2/config.json" and the fallbacks "/ad.json" and
// "/app.json") with a realistic default, and generated promotion pictures under "/promo/":
// banner.png (1200×200), icon.png (128×128), qrcode.png (square QR), pixel.png (1×1),
// broken.png (an HTML page), slow.png (a QR after "ms" milliseconds, 4000 by default),
// hop?n=N (N redirects, then pixel.png).
//
// The default configuration names the application's own version as the latest, so it
// offers no update; "fields" below sets a newer one.
//
// Control "/__test/config": {"path": "/v2/config.json", "mode": M} with M one of
//   "default"  the document (the default one, or "document" given in the same call, with
//              "fields" merged into it: a null removes a key)
//   "nonjson"  an HTML page with status 200
//   "error500" status 500 with a JSON body that is itself a valid configuration
//   "slow"     the document after "delayMs" (12000 by default, beyond the app's time-out)
//   "closed"   the headers, then the connection closes
//   "missing"  404
// The mode stays until changed or "/__test/reset".
void addConfigRoutes(Server& server);

} // namespace standin
