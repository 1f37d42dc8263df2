#include "requirements/catalogue.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

namespace rolekit {
namespace {

constexpr std::array<std::wstring_view, 3> kWebProducts = {L"Kestrel", L"Tamarind", L"Lanternfly"};
constexpr std::wstring_view kMessagingProduct = L"Orrery";

// List A: the web server, process activation and ASP.NET.
constexpr std::wstring_view kWebFixed[] = {
    L"IIS-WebServerRole",
    L"WAS-WindowsActivationService",
    L"WAS-ProcessModel",
    L"WAS-ConfigurationAPI",
    L"IIS-ISAPIExtensions",
    L"IIS-ApplicationDevelopment",
    L"IIS-ISAPIFilter",
    L"IIS-HttpRedirect",
    L"IIS-StaticContent",
    L"IIS-WebServer",
    L"IIS-WebServerManagementTools",
    L"IIS-CommonHttpFeatures",
    L"IIS-DefaultDocument",
    L"IIS-DirectoryBrowsing",
    L"IIS-HealthAndDiagnostics",
    L"IIS-HttpErrors",
    L"IIS-HttpLogging",
    L"IIS-Performance",
    L"IIS-HttpCompressionStatic",
    L"IIS-RequestFiltering",
    L"IIS-Security",
};
// IIS Manager, which Server Core lacks: DISM answers 50 for it there, a
// failure, though every other feature was enabled.
constexpr std::wstring_view kWebConsole[] = {L"IIS-ManagementConsole"};
// Windows 8 / Server 2012 (6.2) and later ship ASP.NET 4.5 under these names.
constexpr std::wstring_view kWebNewer[] = {L"IIS-ASPNET45", L"IIS-NetFxExtensibility45",
                                           L"NetFx4Extended-ASPNET45"};
constexpr std::wstring_view kWebOlder[] = {L"IIS-ASPNET", L"IIS-NetFxExtensibility", L"WAS-NetFxEnvironment",
                                           L"IIS-RequestMonitor"};

// List B: message queuing, WCF activation and the rest of IIS.
constexpr std::wstring_view kMessagingFixed[] = {
    L"MSMQ-Server",
    L"IIS-ASP",
    L"IIS-CGI",
    L"IIS-ServerSideIncludes",
    L"IIS-HttpTracing",
    L"WCF-Services45",
    L"WCF-TCP-Activation45",
    L"WCF-HTTP-Activation45",
    L"WCF-Pipe-Activation45",
    L"WCF-MSMQ-Activation45",
    L"WCF-TCP-PortSharing45",
    L"IIS-ApplicationInit",
    L"IIS-WebSockets",
};
// Message Queuing's parent features: MSMQ-Container on a client, MSMQ and
// MSMQ-Services on a server. Only servers at 10.0 and later get theirs; older
// servers, all out of support, are handed the client's name, which they lack.
constexpr std::wstring_view kMessagingWorkstation[] = {L"MSMQ-Container"};
constexpr std::wstring_view kMessagingServer[] = {L"MSMQ", L"MSMQ-Services"};

enum Part : std::size_t {
  WebFixed,
  WebConsole,
  WebNewer,
  WebOlder,
  MessagingFixed,
  MessagingWorkstation,
  MessagingServer
};
// Indexed by Part.
constexpr std::array<std::span<const std::wstring_view>, 7> kParts = {
    kWebFixed, kWebConsole, kWebNewer, kWebOlder, kMessagingFixed, kMessagingWorkstation, kMessagingServer};

constexpr wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

// Identifiers match whole tokens, folding ASCII letters only: other letters
// have no single fold that every code page and locale agrees on.
constexpr bool MatchesIdentifier(std::wstring_view token, std::wstring_view identifier) {
  return std::ranges::equal(token, identifier, {}, FoldAscii, FoldAscii);
}

}  // namespace

ProductList SplitProducts(std::wstring_view text, std::wstring_view delimiters) {
  ProductList tokens;
  std::size_t position = 0;
  while (true) {
    const std::size_t begin = text.find_first_not_of(delimiters, position);
    if (begin == std::wstring_view::npos) return tokens;
    position = std::min(text.find_first_of(delimiters, begin), text.size());
    tokens.push_back(text.substr(begin, position - begin));
  }
}

FeatureSet ResolveFeatures(std::wstring_view argument, const OsFacts& os) {
  // Note which parts of the catalogue are wanted, then fill the set once: an
  // argument of thousands of repeated identifiers stays linear in its length.
  std::array<bool, kParts.size()> wanted{};
  for (const std::wstring_view token : SplitProducts(argument, L",")) {
    if (std::ranges::any_of(kWebProducts, [&](auto id) { return MatchesIdentifier(token, id); })) {
      wanted[WebFixed] = true;
      wanted[os.OsVersionAtLeast(6, 2) ? WebNewer : WebOlder] = true;
      if (!os.IsServerCore()) wanted[WebConsole] = true;
    } else if (MatchesIdentifier(token, kMessagingProduct)) {
      wanted[MessagingFixed] = true;
      const bool workstationVariant = os.IsWorkstation() || !os.OsVersionAtLeast(10, 0);
      wanted[workstationVariant ? MessagingWorkstation : MessagingServer] = true;
    }
  }
  FeatureSet features;
  for (std::size_t part = 0; part < kParts.size(); ++part) {
    if (wanted[part]) features.insert(kParts[part].begin(), kParts[part].end());
  }
  return features;
}

}  // namespace rolekit
