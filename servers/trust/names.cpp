#include "servers/trust/names.h"

#include <QList>

#include <unicode/uspoof.h>

#include <memory>

namespace kalimo::trust {

bool hasHiddenCharacters(QStringView text)
{
    for (const char32_t c : text.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            return true;
    }
    return false;
}

QString confusableSkeleton(const QString& name)
{
    struct Close
    {
        void operator()(USpoofChecker* c) const { uspoof_close(c); }
    };
    // One checker per thread: ICU does not promise more.
    thread_local const std::unique_ptr<USpoofChecker, Close> checker = [] {
        UErrorCode status = U_ZERO_ERROR;
        USpoofChecker* c = uspoof_open(&status);
        return std::unique_ptr<USpoofChecker, Close>(U_SUCCESS(status) ? c : nullptr);
    }();
    if (!checker)
        return {};
    const QString folded = name.toCaseFolded();
    QString skeleton(folded.size() * 4 + 16, Qt::Uninitialized);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = uspoof_getSkeleton(
        checker.get(), 0, reinterpret_cast<const UChar*>(folded.utf16()), int32_t(folded.size()),
        reinterpret_cast<UChar*>(skeleton.data()), int32_t(skeleton.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR && length > 0) {
        skeleton.resize(length);
        status = U_ZERO_ERROR;
        uspoof_getSkeleton(checker.get(), 0, reinterpret_cast<const UChar*>(folded.utf16()),
                           int32_t(folded.size()), reinterpret_cast<UChar*>(skeleton.data()),
                           int32_t(skeleton.size()), &status);
    }
    if (U_FAILURE(status) || length < 0)
        return {};
    skeleton.resize(length);
    // The mapping is not idempotent on case: fold what it produced too.
    return skeleton.toCaseFolded();
}

} // namespace kalimo::trust
