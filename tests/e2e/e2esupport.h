// Small helpers shared by the end-to-end tests: bounded waits that keep the
// event loop running, and the pixel counts the screenshot checks use.
#pragma once

#include <QImage>
#include <functional>

namespace E2E {

// Polls `condition` every 50 ms while the event loop runs, at most `timeoutMs`.
bool waitFor(const std::function<bool()> &condition, int timeoutMs);

int countPixels(const QImage &image, const std::function<bool(QRgb)> &match);
int colourCount(const QImage &image);
// Pixels that differ; all of them when the sizes differ.
int differingPixels(const QImage &a, const QImage &b);

} // namespace E2E
