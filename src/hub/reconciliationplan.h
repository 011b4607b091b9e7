// How the source list follows the service's stream list: which sources
// stay (with the session's credentials put into their URLs), which go and
// which streams are added. A plan of steps, worked out without touching a
// source, that the hub carries out in order.
#pragma once

#include <QList>
#include <QStringList>
#include <QUrl>

namespace ReconciliationPlan {

struct Source
{
    QUrl streamUrl;
    bool isRecordDevice = false;
};

struct Step
{
    enum Kind {
        RemoveDuplicate, // an earlier source on the same stream as a later one
        Remove,          // a stream the service no longer assigns
        Replay,          // a stream that stays, to be played with new credentials
        Add,             // a new stream, appended
    };
    Kind kind;
    int index = -1; // the position when the step is carried out; -1 for Add
    QUrl url;       // Replay and Add
};

// A stream of the service's list that is not played.
struct Dropped
{
    enum Reason { NotAStream, Duplicate };
    Reason reason;
    QString text; // the URL, with credentials where the plan put them in
};

struct Plan
{
    QList<Dropped> dropped;
    QList<Step> steps;
    int leftOut = 0; // new streams past the most sources played
};

// `streamUrls` in the service's order. Sources that stay keep their place;
// recording sources always stay; of several sources on one stream the last
// one stays; new streams go to the end in the service's order, up to
// `maxSources` in all.
Plan make(const QList<Source> &sources, const QStringList &streamUrls, int userId, const QString &sid,
          int maxSources);

} // namespace ReconciliationPlan
