#pragma once

#include "server/ServerOptions.h"

#include <QString>

#include <memory>

class ApiService;
class Store;

// The HTTP side of the service on cpp-httplib: the API under "/apiv1/", the package upload
// streamed to disk, the download pages and the package downloads, for requests whose Host names
// this service. Requests are read by a gate and served by a pool of worker threads, one
// connection per request.
class HttpServer final
{
public:
    HttpServer(const ServerOptions &options, Store &store, ApiService &api);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds the listening socket (port 0: a free one). After it, port() is known and
    // connections queue until run() accepts them.
    bool bind(QString *error);
    quint16 port() const;
    // The address in mails and pages (--public-url, or the listening address); known after bind().
    QString publicUrl() const;
    // Serves until stop(); returns false when the server could not run.
    bool run();
    // Safe from any thread.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
