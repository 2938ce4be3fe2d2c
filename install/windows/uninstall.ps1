<#
.SYNOPSIS
  Removes the document editor host's registry keys and manifests.
#>
[CmdletBinding()]
param(
  [string]$HostPath = '',
  [string]$Name = 'ormid.doc_editor',
  [switch]$AllUsers
)
& (Join-Path $PSScriptRoot 'install.ps1') -Uninstall -HostPath $HostPath -Name $Name -AllUsers:$AllUsers
exit $LASTEXITCODE
