#pragma once

#include <string>

#include "StandinServer.h"

namespace standin {

// The market's files that hold no member's state: the media of the shop's pages and the
// blobs of any size the download tests ask for.

// "attachment; filename="<ASCII fallback>"; filename*=UTF-8''<name>".
std::string contentDisposition(const std::string& name);
Reply notFound();
// GET "/market/media/{cover,banner}/<id>.png" and "/market/media/preview.mp4".
Reply marketMedia(const Request& request);
// GET "/market/blob?bytes=N&name=X".
Reply marketBlob(const Request& request);

} // namespace standin
