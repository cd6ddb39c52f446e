#include "options/custopts/import_check.h"

#include <climits>

#include "diag/text_format.h"
#include "options/custopts/tool_file.h"
#include "runtime/text.h"

namespace ca::custopts {

namespace {

// Failure sites of the store's file layer.
constexpr char kOpenPoint[] = "D9Z2M53NXGIXHT8";
constexpr char kReadPoint[] = "9WPCNCVEXGUAT9C";
constexpr char kClosePoint[] = "BJKMKWY8SPJJDV2";

// A failure recorded as the store's record takes it: an empty text with a
// code becomes the system's message for the code.
ImportRefusal Recorded(const char* point, int32_t code, std::string text, std::string extText, const ImportTexts& texts) {
    if (text.empty() && code != 0) text = texts.SystemMessage(code);
    return ImportRefusal{point, code, std::move(text), std::move(extText)};
}

// A failure of the file itself: the system's message, and the three lines
// that describe a file failure (the module's file failures carry no
// description of their own).
ImportRefusal FileRefusal(const char* point, uint32_t osError, const std::string& path, const ImportTexts& texts) {
    const int32_t code = static_cast<int32_t>(osError);
    return Recorded(point, code, std::string(),
                    FormatFileExceptionLines(FileCauseNumber(osError), std::string(), code, texts.SystemMessage(code), path),
                    texts);
}

}  // namespace

CheckResult CheckAsImport(const std::string& path, const OptionsProduct& product, const ImportTexts& texts) {
    enum class Failure { None, Import, Reading, Closing } failure = Failure::None;
    CheckResult result;
    InputFile file;
    if (const uint32_t error = file.Open(path)) {
        result.refusal = FileRefusal(kOpenPoint, error, path, texts);
        failure = Failure::Import;
    } else {
        try {
            OptionsFileFailure check;
            if (!ReadOptionsFile(file, product, result.content, check)) {
                result.refusal = Recorded(check.point, check.code, CheckFailureText(check, texts), check.ExtendedText(), texts);
                failure = Failure::Import;
            }
        } catch (const InputFileError& e) {
            result.refusal = FileRefusal(kReadPoint, e.osError, path, texts);
            failure = Failure::Reading;
        }
        const uint32_t closeError = file.Close();
        if (closeError != 0 && failure == Failure::None) {
            result.refusal = FileRefusal(kClosePoint, closeError, path, texts);
            failure = Failure::Closing;
        }
    }
    if (failure == Failure::None) {
        result.accepted = true;
        return result;
    }
    result.content.pack.reset();
    if (failure == Failure::Import && result.refusal.text.empty()) result.refusal.text = UnreadableFileText(path, texts);
    result.refusal.extText += ImportFailureTail(path, result.content.header);
    return result;
}

OptionsProduct AnyProductFor(const std::string& path) {
    OptionsProduct product{std::string(), INT32_MAX, INT32_MAX};
    InputFile file;
    if (file.Open(path) != 0) return product;
    char signature[kOptionsSignatureSize] = {};
    try {
        product.signature.assign(signature, file.Read(signature, sizeof signature));
    } catch (const InputFileError&) {
    }
    return product;
}

std::string ImportedPath(const std::string& file, const std::string& fallbackFolder) {
    return IsExistingFile(file) ? file : fallbackFolder + FileNameOf(file);
}

PublishedRefusal PublishedByCheck(const ImportRefusal& refusal, const std::string& file, const std::string& fallbackFolder,
                                  const ImportTexts& texts) {
    PublishedRefusal published;
    const std::string chain = std::string(kCheckWorkerPoint) + ":" + refusal.point;
    published.errorText = ImportFailedText(file, fallbackFolder, refusal.text, texts);
    published.errorCode = StringPrintf("Code: %d Point: %s", static_cast<int>(refusal.code), chain.c_str());
    published.logRecords = {
        StringPrintf("Code: %d Point: %s [%s][%s]", static_cast<int>(refusal.code), refusal.point.c_str(),
                     refusal.text.c_str(), refusal.extText.c_str()),
        published.errorText,
        chain,
    };
    return published;
}

}  // namespace ca::custopts
