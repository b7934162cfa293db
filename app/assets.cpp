// The program's texts, scrambled while compiling, and the table of all the assets.

#include <array>
#include <cstddef>
#include <cstdint>

#include "app/asset_pictures.h"
#include "app/asset_store.h"

namespace {

// The seven labels replace the dialog template's own, and keep their lengths.
constexpr auto kGetDataLabel = scramble_literal("Получить данные");
constexpr auto kOpenReportLabel = scramble_literal("Открыть отчёт в блокноте");
constexpr auto kModelLabel = scramble_literal("Модель:");
constexpr auto kSerialLabel = scramble_literal("S/N:");
constexpr auto kVersionLabel = scramble_literal("Версия:");
constexpr auto kCrumLabel = scramble_literal("CRUM:");
constexpr auto kGroupTitle = scramble_literal("Информация о принтере");
constexpr auto kWindowTitle = scramble_literal("Vellumo Printer info v1.6.0");
constexpr auto kRetrievingStatus = scramble_literal("Получение данных от принтера");
constexpr auto kDoneStatus = scramble_literal("Данные с принтера получены.");
constexpr auto kFailureText =
    scramble_literal("Не удалось получить данные. Проверьте, подключён ли принтер.");
constexpr auto kMessageCaption = scramble_literal("Сообщение");
constexpr auto kLinkTarget = scramble_literal("https://example.org/");
constexpr auto kThreadFailureText = scramble_literal("Поток не запущен.");
// The lines the report box holds, and the lines of the whole listing, take the places of '#'.
constexpr auto kCutNotice = scramble_literal("Отчёт обрезан, показано строк: # из #.");
constexpr auto kCutNoticeLatin = scramble_literal("Otchet obrezan, pokazano strok: # iz #.");

// Lengths in CP1251 bytes; the dialog and the worker depend on them.
static_assert(kGetDataLabel.size() == 15);
static_assert(kOpenReportLabel.size() == 24);
static_assert(kModelLabel.size() == 7);
static_assert(kSerialLabel.size() == 4);
static_assert(kVersionLabel.size() == 7);
static_assert(kCrumLabel.size() == 5);
static_assert(kGroupTitle.size() == 21);
static_assert(kWindowTitle.size() == 27);
static_assert(kRetrievingStatus.size() == 28);
static_assert(kDoneStatus.size() == 27);
static_assert(kFailureText.size() == 60);
static_assert(kMessageCaption.size() == 9);
static_assert(kLinkTarget.size() == 20);
static_assert(kThreadFailureText.size() == 17);
static_assert(kCutNotice.size() == 38);
static_assert(kCutNoticeLatin.size() == 39);

template <std::size_t N>
constexpr StoredAsset stored(const std::array<std::uint8_t, N>& scrambled) {
    return {scrambled.data(), N};
}

template <std::size_t N>
constexpr StoredAsset stored(const std::uint8_t (&scrambled)[N]) {
    return {scrambled, N};
}

}  // namespace

StoredAsset stored_asset(AssetId id) noexcept {
    switch (id) {
        case AssetId::GetDataLabel: return stored(kGetDataLabel);
        case AssetId::OpenReportLabel: return stored(kOpenReportLabel);
        case AssetId::ModelLabel: return stored(kModelLabel);
        case AssetId::SerialLabel: return stored(kSerialLabel);
        case AssetId::VersionLabel: return stored(kVersionLabel);
        case AssetId::CrumLabel: return stored(kCrumLabel);
        case AssetId::GroupTitle: return stored(kGroupTitle);
        case AssetId::WindowTitle: return stored(kWindowTitle);
        case AssetId::AppIcon: return stored(kScrambledAppIcon);
        case AssetId::Logo: return stored(kScrambledLogo);
        case AssetId::RetrievingStatus: return stored(kRetrievingStatus);
        case AssetId::DoneStatus: return stored(kDoneStatus);
        case AssetId::FailureText: return stored(kFailureText);
        case AssetId::MessageCaption: return stored(kMessageCaption);
        case AssetId::LinkTarget: return stored(kLinkTarget);
        case AssetId::ThreadFailureText: return stored(kThreadFailureText);
        case AssetId::CutNotice: return stored(kCutNotice);
        case AssetId::CutNoticeLatin: return stored(kCutNoticeLatin);
        case AssetId::Count: break;
    }
    return {};
}
