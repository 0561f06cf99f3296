#pragma once
// The small picture of a cover page template: the template drawn by the fax service's
// cover page renderer with made-up sample values, nothing of the user's fax job.
#include <QImage>
#include <QString>

namespace sendmere::mRender {

// The template drawn as a whole page with the sample values; the time field shows now.
// Raises when the template cannot be drawn.
QImage RenderCoverPage(const QString &templatePath);

}  // namespace sendmere::mRender
