<#
.SYNOPSIS
  Registers the document editor host with Chrome, Chromium, Edge and Firefox
  for the current user (or removes it again).

.DESCRIPTION
  Writes the host manifest beside ormid-doc-editor.exe (one for the
  Chromium-based browsers, one for Firefox, which expects other keys) and
  points each browser's registry key at it:
    HKCU\Software\Google\Chrome\NativeMessagingHosts\<name>
    HKCU\Software\Chromium\NativeMessagingHosts\<name>
    HKCU\Software\Microsoft\Edge\NativeMessagingHosts\<name>
    HKCU\Software\Mozilla\NativeMessagingHosts\<name>
  (HKLM instead of HKCU with -AllUsers). The key's default value is the
  manifest's full path. Browsers refuse a manifest silently when a field is
  off, so every field is checked here first.

.EXAMPLE
  powershell -ExecutionPolicy Bypass -File install.ps1 -ExtensionId nhipdoifmhiejfbjpikpbppgkchfgblj
.EXAMPLE
  powershell -ExecutionPolicy Bypass -File install.ps1 -Uninstall
#>
[CmdletBinding()]
param(
  # Extensions allowed to start the host in Chrome, Chromium and Edge:
  # 32 letters a-p, or chrome-extension://<id>/.
  [string[]]$ExtensionId = @(),
  # Extensions allowed to start the host in Firefox: name@domain or {uuid}.
  [string[]]$FirefoxId = @(),
  # The host executable; by default ormid-doc-editor.exe beside this script.
  [string]$HostPath = '',
  [string]$Name = 'ormid.doc_editor',
  [string]$Description = 'Has documents from web pages edited in the desktop word processor',
  [switch]$AllUsers,
  [switch]$Uninstall
)

$ErrorActionPreference = 'Stop'
Set-StrictMode -Version 2

function Fail([string]$Message) {
  Write-Error -Message $Message -ErrorAction Continue
  exit 1
}

$hive = if ($AllUsers) { 'HKLM:' } else { 'HKCU:' }
$chromiumKeys = @(
  "$hive\Software\Google\Chrome\NativeMessagingHosts\$Name",
  "$hive\Software\Chromium\NativeMessagingHosts\$Name",
  "$hive\Software\Microsoft\Edge\NativeMessagingHosts\$Name"
)
$firefoxKey = "$hive\Software\Mozilla\NativeMessagingHosts\$Name"

# The name becomes a file and key name; the pattern also keeps it in place.
if ($Name -cnotmatch '^[a-z0-9_]+(\.[a-z0-9_]+)*$') {
  Fail "Host name '$Name' must be lowercase letters, digits and '_', in parts joined by '.'"
}

if (-not $HostPath) { $HostPath = Join-Path $PSScriptRoot 'ormid-doc-editor.exe' }
$hostDir = Split-Path -Parent $HostPath
$chromiumManifest = Join-Path $hostDir "$Name.json"
$firefoxManifest = Join-Path $hostDir "$Name.firefox.json"

if ($Uninstall) {
  foreach ($key in $chromiumKeys + $firefoxKey) {
    if (Test-Path $key) {
      Remove-Item -Path $key -Recurse -Force
      Write-Output "Removed $key"
    }
  }
  foreach ($file in $chromiumManifest, $firefoxManifest) {
    if (Test-Path -LiteralPath $file) {
      Remove-Item -LiteralPath $file -Force
      Write-Output "Removed $file"
    }
  }
  exit 0
}

if (-not [System.IO.Path]::IsPathRooted($HostPath)) { Fail "Host path '$HostPath' must be absolute" }
if (-not (Test-Path -LiteralPath $HostPath -PathType Leaf)) {
  Fail "Host executable '$HostPath' does not exist (build it, or give -HostPath)"
}
if ([System.IO.Path]::GetExtension($HostPath) -ne '.exe') { Fail "Host '$HostPath' is not an .exe file" }
if (-not $Description) { Fail 'The description must not be empty' }

$origins = @()
foreach ($id in $ExtensionId) {
  $bare = $id
  if ($id.StartsWith('chrome-extension://')) {
    if (-not $id.EndsWith('/')) { Fail "Origin '$id' must end with '/': browsers match it exactly" }
    $bare = $id.Substring(19).TrimEnd('/')
  }
  if ($bare -cnotmatch '^[a-p]{32}$') { Fail "'$id' is not an extension id: 32 letters from a to p" }
  $origins += "chrome-extension://$bare/"
}
foreach ($id in $FirefoxId) {
  if ($id -notmatch '^(\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}|[a-z0-9._-]*@[a-z0-9._-]+)$') {
    Fail "'$id' is not a Firefox extension id (name@domain or {uuid})"
  }
}
if ($origins.Count + $FirefoxId.Count -eq 0) { Fail 'Give at least one -ExtensionId or -FirefoxId' }

function JsonText([string]$Text) {
  # ConvertTo-Json of a string gives its quoted, escaped literal; the template adds the quotes.
  $literal = ConvertTo-Json -InputObject $Text -Compress
  return $literal.Substring(1, $literal.Length - 2)
}

$template = [System.IO.File]::ReadAllText((Join-Path $PSScriptRoot 'ormid.doc_editor.json.template'))
$utf8 = New-Object System.Text.UTF8Encoding $false  # browsers read the manifest without a BOM

function Write-Manifest([string]$File, [string]$AllowedKey, [string[]]$Allowed) {
  $list = ($Allowed | ForEach-Object { '"' + (JsonText $_) + '"' }) -join ', '
  # The path is the executable's file name: it is resolved against the manifest's folder.
  $text = $template.Replace('@PATH@', (JsonText (Split-Path -Leaf $HostPath)))
  $text = $text.Replace('@ALLOWED_KEY@', $AllowedKey).Replace('@ALLOWED@', $list)
  # Free text last, so that nothing in it is taken for a placeholder.
  $text = $text.Replace('@NAME@', (JsonText $Name)).Replace('@DESCRIPTION@', (JsonText $Description))
  [System.IO.File]::WriteAllText($File, $text, $utf8)
  Write-Output "Wrote $File"
}

function Register([string]$Key, [string]$File) {
  New-Item -Path $Key -Force | Out-Null
  Set-Item -Path $Key -Value $File
  Write-Output "Registered $Key -> $File"
}

if ($origins.Count -gt 0) {
  Write-Manifest $chromiumManifest 'allowed_origins' $origins
  foreach ($key in $chromiumKeys) { Register $key $chromiumManifest }
}
if ($FirefoxId.Count -gt 0) {
  Write-Manifest $firefoxManifest 'allowed_extensions' $FirefoxId
  Register $firefoxKey $firefoxManifest
}
Write-Output "Host $Name -> $HostPath"
