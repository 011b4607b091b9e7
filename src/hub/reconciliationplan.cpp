#include "reconciliationplan.h"

#include <algorithm>

namespace ReconciliationPlan {
namespace {

// The same stream whatever the credentials it is played with.
bool isSameStream(const QUrl &a, const QUrl &b)
{
    return a.matches(b, QUrl::RemoveUserInfo);
}

bool contains(const QList<QUrl> &urls, const QUrl &url)
{
    return std::any_of(urls.cbegin(), urls.cend(), [&url](const QUrl &known) { return isSameStream(known, url); });
}

QList<QUrl> servedUrls(const QStringList &streamUrls, int userId, const QString &sid, QList<Dropped> &dropped)
{
    QList<QUrl> urls;
    for (const QString &text : streamUrls) {
        QUrl url(text, QUrl::TolerantMode);
        // The service names streams, never a device of this machine.
        if (url.scheme() == QLatin1String("record")) {
            dropped.append({Dropped::NotAStream, text});
            continue;
        }
        url.setUserName(QString::number(userId), QUrl::DecodedMode);
        url.setPassword(sid, QUrl::DecodedMode);
        if (contains(urls, url)) {
            dropped.append({Dropped::Duplicate, url.toString()});
            continue;
        }
        urls.append(url);
    }
    return urls;
}

void removeEarlierTwins(QList<QUrl> &current, QList<bool> &isRecord, QList<Step> &steps)
{
    int i = 0;
    while (i < current.size() - 1) {
        if (!contains(current.mid(i + 1), current.at(i))) {
            ++i;
            continue;
        }
        steps.append({Step::RemoveDuplicate, i, QUrl()});
        current.removeAt(i);
        isRecord.removeAt(i);
    }
}

} // namespace

Plan make(const QList<Source> &sources, const QStringList &streamUrls, int userId, const QString &sid,
          int maxSources)
{
    Plan plan;
    const QList<QUrl> served = servedUrls(streamUrls, userId, sid, plan.dropped);
    QList<QUrl> current;
    QList<bool> isRecord;
    for (const Source &source : sources) {
        current.append(source.streamUrl);
        isRecord.append(source.isRecordDevice);
    }
    removeEarlierTwins(current, isRecord, plan.steps);

    int i = 0;
    while (i < current.size()) {
        const auto match = std::find_if(served.cbegin(), served.cend(),
                                        [&](const QUrl &url) { return isSameStream(url, current.at(i)); });
        if (match != served.cend()) {
            if (!match->matches(current.at(i), QUrl::None))
                plan.steps.append({Step::Replay, i, *match});
            ++i;
        } else if (isRecord.at(i)) {
            ++i;
        } else {
            plan.steps.append({Step::Remove, i, QUrl()});
            current.removeAt(i);
            isRecord.removeAt(i);
        }
    }

    for (const QUrl &url : served) {
        if (contains(current, url))
            continue;
        if (current.size() >= maxSources) {
            ++plan.leftOut;
            continue;
        }
        plan.steps.append({Step::Add, -1, url});
        current.append(url);
    }
    return plan;
}

} // namespace ReconciliationPlan
