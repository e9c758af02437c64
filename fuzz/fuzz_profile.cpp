// The profile name of an archive's embedded.mobileprovision: a signed container (binary) whose
// readable middle is an XML property list. The whole file is outside input.
//
// Besides crashes, hangs and leaks it checks that a name is only ever found between a "<plist"
// and a later "</plist>", and that it is the "Name" string of what lies between them.

#include "fuzz/FuzzSupport.h"
#include "inspect/PropertyList.h"
#include "inspect/QDArchiveModel.h"

#include <QVariantMap>

#include <string_view>

using namespace Qt::StringLiterals;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<QString> name = QDArchiveModel::profileNameFromData(bytes);

    // The same extraction on the raw bytes, without the Latin-1 round trip.
    const std::string_view view(reinterpret_cast<const char *>(data), size);
    const size_t begin = view.find("<plist");
    const size_t end = begin == std::string_view::npos ? begin : view.find("</plist>", begin);
    if (end == std::string_view::npos) {
        FUZZ_CHECK(!name, "a name without both tags: %s", FuzzSupport::printable(*name).constData());
        return 0;
    }
    const QByteArray inner = QByteArray(view.data() + begin, qsizetype(end - begin)) + "</plist>";
    const std::optional<QVariantMap> dictionary = PropertyList::dictionaryFromData(inner);
    const QVariant expected = dictionary ? dictionary->value(u"Name"_s) : QVariant();
    if (expected.typeId() == QMetaType::QString) {
        FUZZ_CHECK(name && *name == expected.toString(), "the name read is not the Name between the tags");
    } else {
        FUZZ_CHECK(!name, "a name although the Name between the tags is not a string");
    }
    return 0;
}
