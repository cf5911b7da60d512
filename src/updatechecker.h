// Asks the version service which version each update channel offers.
#pragma once

#include "versionquery.h"

#include <QByteArray>
#include <QString>

// Environment variable that replaces the version service's scheme and host (and optional port
// and path prefix), for tests and the demo: OV3_VERSION_URL=http://127.0.0.1:8080 makes the
// query GET http://127.0.0.1:8080/ov3-client-2.
inline constexpr char VERSION_URL_VARIABLE[] = "OV3_VERSION_URL";
// The version service used when the variable is unset or empty.
inline constexpr char DEFAULT_VERSION_SERVICE[] = "http://versions.orvane.example";

class UpdateChecker : public VersionQuery
{
    Q_OBJECT
public:
    explicit UpdateChecker(QObject *parent);

    // Begins the query on a thread of its own and returns at once. update_available follows
    // exactly once on this object's thread (an empty map on any failure), then the checker
    // deletes itself.
    void start() override;

    // The URL start() fetches: the service base (see VERSION_URL_VARIABLE) + "/ov3-client-2".
    static QString versionServiceUrl();
    // Makes the configuration's version queries real UpdateCheckers. Call once from the main
    // thread before the command line is parsed.
    static void registerAsVersionQuery();

private slots:
    void on_updateCheckAvailable(QByteArray updateData);
};
