# Detection script for a deployment of rolekit, for Intune's custom detection
# script and Configuration Manager's script detection method: it tells whether
# every Windows feature that rolekit enables for $Products on this system is on.
#
#   All on:       one line on standard output, exit 0   (installed)
#   Any off:      nothing on either stream, exit 0      (not installed)
#   Cannot tell:  one line on standard error, exit 1
#   Never on here (a feature the edition lacks, which DISM refuses rolekit's
#                 run for): one line on standard error, exit 1
#
# How each tool reads these is in docs/deployment.md: Configuration Manager
# takes exit 1 for a failed detection, Intune for "not installed". Run it as a
# 64-bit process, elevated (both tools run it as SYSTEM). -Verbose names what
# is off. It asks Windows everything through commands: the version and the
# product type from Win32_OperatingSystem, Server Core from the registry and
# the features from DISM's cmdlets.
[CmdletBinding()]
param()

# The products of the deployment's command line, as rolekit is given them.
$Products = 'Kestrel,Orrery'

# What rolekit asks DISM for, on Windows 8, Server 2012 and later: list A for
# these products, without IIS Manager on Server Core, and list B for Orrery,
# with a client's Message Queuing parent or, on a server at 10.0 or later, a
# server's.
$WebProducts = 'Kestrel', 'Tamarind', 'Lanternfly'
$MessagingProducts = 'Orrery'
$Web = 'IIS-ASPNET45', 'IIS-ApplicationDevelopment', 'IIS-CommonHttpFeatures', 'IIS-DefaultDocument',
    'IIS-DirectoryBrowsing', 'IIS-HealthAndDiagnostics', 'IIS-HttpCompressionStatic', 'IIS-HttpErrors',
    'IIS-HttpLogging', 'IIS-HttpRedirect', 'IIS-ISAPIExtensions', 'IIS-ISAPIFilter', 'IIS-NetFxExtensibility45',
    'IIS-Performance', 'IIS-RequestFiltering', 'IIS-Security', 'IIS-StaticContent', 'IIS-WebServer',
    'IIS-WebServerManagementTools', 'IIS-WebServerRole', 'NetFx4Extended-ASPNET45', 'WAS-ConfigurationAPI',
    'WAS-ProcessModel', 'WAS-WindowsActivationService'
$Console = 'IIS-ManagementConsole'
$Messaging = 'IIS-ASP', 'IIS-ApplicationInit', 'IIS-CGI', 'IIS-HttpTracing', 'IIS-ServerSideIncludes',
    'IIS-WebSockets', 'MSMQ-Server', 'WCF-HTTP-Activation45', 'WCF-MSMQ-Activation45', 'WCF-Pipe-Activation45',
    'WCF-Services45', 'WCF-TCP-Activation45', 'WCF-TCP-PortSharing45'
$ClientQueue = 'MSMQ-Container'
$ServerQueue = 'MSMQ', 'MSMQ-Services'

# Server Core as rolekit tells it: by the ServerLevels key where it is there
# (ServerCore = 1 without Server-Gui-Mgmt or Server-Gui-Shell), else by
# InstallationType.
function Test-ServerCore {
    $levels = 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Server\ServerLevels'
    if (Test-Path -LiteralPath $levels) {
        $set = Get-ItemProperty -LiteralPath $levels
        $isSet = { param($name) $value = $set.$name; ($value -is [int]) -and ($value -eq 1) }
        return (& $isSet 'ServerCore') -and -not (& $isSet 'Server-Gui-Mgmt') -and -not (& $isSet 'Server-Gui-Shell')
    }
    $type = (Get-ItemProperty -LiteralPath 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion').InstallationType
    return ($type -is [string]) -and ($type -ceq 'Server Core')
}

$ErrorActionPreference = 'Stop'
# The tools read standard output, and under -File with its output redirected
# PowerShell writes warnings and progress there too: only the one line may
# reach it.
$WarningPreference = 'SilentlyContinue'
$ProgressPreference = 'SilentlyContinue'
try {
    # A 32-bit process is shown redirected registry keys, and DISM's cmdlets fail in it.
    if ([Environment]::Is64BitOperatingSystem -and -not [Environment]::Is64BitProcess) {
        throw 'run this script as a 64-bit process'
    }
    # Not [Environment]::OSVersion: without a manifest that names Windows 8.1
    # and later, Windows reports 6.2 to the process.
    $system = Get-CimInstance -ClassName Win32_OperatingSystem
    $version = [Version]$system.Version
    if ($version -lt [Version]'6.2') {
        throw 'this script checks Windows 8, Server 2012 and later only'
    }
    $tokens = @($Products.Split(',') | Where-Object { $_ })
    $want = @()
    if (@($tokens | Where-Object { $WebProducts -contains $_ }).Count -gt 0) {
        $want += $Web
        if (-not (Test-ServerCore)) { $want += $Console }
    }
    if (@($tokens | Where-Object { $MessagingProducts -contains $_ }).Count -gt 0) {
        $want += $Messaging
        # ProductType 1 is a workstation; a domain controller (2) is a server.
        if ($system.ProductType -eq 1 -or $version -lt [Version]'10.0') { $want += $ClientQueue } else { $want += $ServerQueue }
    }
    if ($want.Count -eq 0) {
        throw "no product of rolekit's in '$Products'"
    }
    $state = @{}
    foreach ($feature in Get-WindowsOptionalFeature -Online) { $state[$feature.FeatureName] = "$($feature.State)" }
    # A name this edition lacks is one that DISM refuses rolekit's whole run
    # for: it never comes on, so "not installed" would only run rolekit again.
    $unknown = @($want | Where-Object { -not $state.ContainsKey($_) })
    if ($unknown.Count -gt 0) {
        [Console]::Error.WriteLine("rolekit: the features for $Products never come on here: this edition has no $($unknown -join ', ')")
        exit 1
    }
    # After a 3010 the features stay enable-pending until Windows restarts.
    $off = @($want | Where-Object { $state[$_] -notin 'Enabled', 'EnablePending' })
    if ($off.Count -eq 0) {
        "rolekit: every Windows feature for $Products is on"
    } else {
        Write-Verbose "not on: $($off -join ', ')"
    }
    exit 0
} catch {
    [Console]::Error.WriteLine("rolekit: cannot tell whether the features for ${Products} are on: $($_.Exception.Message)")
    exit 1
}
