#include "DocumentRoutes.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "StandinServer.h"

namespace standin {

namespace {

Json compatDocument()
{
    const auto row = [](const char* fcp, const char* motion, const char* ozml, const char* dv) {
        return Json{{"fcp", fcp}, {"motion", motion}, {"ozml", ozml}, {"dv", dv}};
    };
    return {
        {"updatedAt", "2025-03-01"},
        {"rows", Json::array({
            row("10.4", "5.4", "5.8", ""),
            row("10.4.10", "5.4.7", "5.11", ""),
            row("10.5", "5.5", "5.12", ""),
            row("10.6", "5.6", "5.13", "5.6"),
            row("10.7", "5.7", "5.13", "5.7"),
            row("10.8", "5.8", "5.13", "5.8"),
            row("11.0", "5.9", "5.13", "5.9"),
            row("11.1", "5.10", "5.13", "5.10"),
        })},
        {"glossary", {{"glow radius", "光晕半径"}, {"light wrap", "光线包裹"}}},
    };
}

std::map<std::string, Reply> defaults()
{
    std::map<std::string, Reply> documents;
    documents["/v2/compat.json"].json = compatDocument();
    return documents;
}

struct Documents
{
    std::mutex mutex;
    std::map<std::string, Reply> byPath = defaults();
};

} // namespace

void addDocumentRoutes(Server& server)
{
    auto documents = std::make_shared<Documents>();
    server.onReset([documents] {
        std::lock_guard lock(documents->mutex);
        documents->byPath = defaults();
    });

    server.fallback("GET", [documents](const Request& request) {
        std::lock_guard lock(documents->mutex);
        const auto found = documents->byPath.find(request.path);
        if (found == documents->byPath.end()) {
            Reply missing = Reply::failure(404, "not found");
            missing.httpStatus = 404;
            return missing;
        }
        return found->second;
    });

    server.route("POST", "/__test/document", [documents](const Request& request) {
        const Json& body = request.body;
        const auto path = stringField(body, "path");
        if (!path)
            return Reply::failure(2, "path missing");
        std::lock_guard lock(documents->mutex);
        if (body.value("remove", false)) {
            documents->byPath.erase(*path);
            return Reply::ok({});
        }
        Reply document;
        if (const auto raw = stringField(body, "raw"))
            document.raw = *raw;
        else if (body.contains("document"))
            document.json = body["document"];
        else
            return Reply::failure(2, "document missing");
        documents->byPath[*path] = document;
        return Reply::ok({});
    });
}

} // namespace standin
