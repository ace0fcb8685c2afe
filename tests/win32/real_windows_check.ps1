# talviewer.exe's checks on a real Windows 10 or 11 machine: what Wine cannot show (TLS 1.3,
# post-handshake messages and renegotiation through SEC_I_RENEGOTIATE, SChannel's own
# certificate checks, the operator's client certificate presented by SChannel in LSA, which
# finds its key by the container name the viewer imported it under) and the rows of
# tests/win32/viewer_x11vnc.sh that SChannel decides. The rows no TLS library decides are Wine's.
#
# On a Linux machine this one can reach, first:
#   tests/win32/serve_for_windows.sh 0.0.0.0:47020 /tmp/certs
# then copy /tmp/certs/ca.pem, other.pem and alice.pem next to this script, with talviewer.exe
# (build-win/win32-tools/talviewer.exe), and run in PowerShell:
#   powershell -ExecutionPolicy Bypass -File real_windows_check.ps1 -Server LINUX_ADDRESS -Port 47020
# Each row prints PASS or FAIL; the exit status is the number of failures. Afterwards, by hand:
#   - DPI: with the pc-1 session open, move the window to a monitor of another scale (or change
#     the scale in Settings > Display): the window keeps its size in inches and the desktop stays
#     sharp at 1:1 (Ctrl+Alt+Shift+A) and smooth when scaled (Ctrl+Alt+Shift+F).
#   - Keyboard: type in a terminal on the remote desktop, with AltGr and dead keys of your layout;
#     hold a key and switch windows with the mouse: it must not repeat on the remote side.
#   - Clipboard: copy text on either side and paste it on the other.
# With talagent.exe (build-win/talagent.exe) beside this script, its row runs too: it refuses
# a secret file whose NTFS access list lets Users read it. Then, by hand, with
# talagent.exe registered at a Linux directory server (its --cert, --ca and --key-file from
# talpki) and the Linux talviewer open on it:
#   - Capture with the compositor: a playing video, a translucent window and a browser appear in
#     the viewer as on the screen (GDI capture, not black rectangles); Task Manager shows the
#     agent's CPU near 0 while nothing changes.
#   - DXGI: not used (GDI only); note here whether a full-screen game or video shows at all.
#   - Mixed DPI: two monitors at 100 % and 150 %: the viewer shows both, side by side in physical
#     pixels; a click at a corner of a window on each monitor lands there.
#   - Elevated windows: an administrator's command prompt takes no input from a session of an
#     agent that is not elevated (Windows refuses it); the agent goes on, nothing else is lost.
#   - Logon and lock screens: Win+L: the viewer stops changing (the secure desktop cannot be
#     captured), the session does not end; after unlocking it shows the desktop again.
#   - User switching: switch to another user: the agent's session shows no change and takes no
#     input until its user returns; the other user's desktop is never shown.
param(
    [Parameter(Mandatory = $true)][string]$Server,
    [int]$Port = 47020
)
$ErrorActionPreference = 'Stop'
$here = Split-Path -Parent $MyInvocation.MyCommand.Path
$work = Join-Path $env:TEMP ("talviewer-check-" + [guid]::NewGuid())
New-Item -ItemType Directory $work | Out-Null
$failures = 0

# One run of the viewer in test mode, in a folder of its own with CA as ca.pem (without one, the
# file that allows plain sessions): messages to the standard error, milestones to the folder's
# log ($env:TALVIEWER_LOG). $env:TALVIEWER_OPERATOR is the operator's file, set by the caller.
function Run([string]$row, [string]$machine, [string]$ca) {
    $dir = Join-Path $work $row
    New-Item -ItemType Directory $dir | Out-Null
    Copy-Item (Join-Path $here 'talviewer.exe') $dir
    if ($ca) { Copy-Item (Join-Path $here $ca) (Join-Path $dir 'ca.pem') }
    else { New-Item -ItemType File (Join-Path $dir 'allow-plain-sessions') | Out-Null }
    $env:TALVIEWER_NO_DIALOGS = '1'
    $env:TALVIEWER_LOG = Join-Path $dir 'log'
    $info = New-Object System.Diagnostics.ProcessStartInfo -Property @{
        FileName = Join-Path $dir 'talviewer.exe'; Arguments = "TALVERO-VNC $Server $Port `"$machine`""
        UseShellExecute = $false; RedirectStandardError = $true
    }
    return [System.Diagnostics.Process]::Start($info)
}

function Check([string]$row, [bool]$ok, [string]$detail) {
    # To the host, not the function's output: a Session's verdicts would become its result.
    if ($ok) { Write-Host "PASS: $row" }
    else { Write-Host "FAIL: $row $detail"; $script:failures++ }
}

# A program that must end with STATUS and say PHRASE on its standard error.
function Verdict([string]$row, $p, [int]$status, [string]$phrase) {
    $reading = $p.StandardError.ReadToEndAsync()  # read while waiting: a hung program is a failure
    if (-not $p.WaitForExit(60000)) { $p.Kill(); Check $row $false 'still running after 60 s'; return }
    $err = $reading.Result
    Check "$row (status $status)" ($p.ExitCode -eq $status) "got $($p.ExitCode): $err"
    Check "$row (message)" ($err -like "*$phrase*") "no '$phrase' in: $err"
}

# An error row of the viewer.
function Row([string]$row, [string]$machine, [int]$status, [string]$phrase, [string]$ca) {
    Verdict $row (Run $row $machine $ca) $status $phrase
}

# A session that must start: wait for the first frame in the log, then close the window.
function Session([string]$row, [string]$machine, [string]$ca) {
    $p = Run $row $machine $ca
    $log = $env:TALVIEWER_LOG
    $deadline = (Get-Date).AddSeconds(30)
    while ((Get-Date) -lt $deadline -and -not ((Test-Path $log) -and (Select-String -Path $log -Pattern 'first-frame' -Quiet))) {
        Start-Sleep -Milliseconds 200
    }
    # Let post-handshake TLS messages (TLS 1.3 session tickets) arrive and be handled.
    Start-Sleep -Seconds 3
    $alive = -not $p.HasExited
    if ($alive) { $p.CloseMainWindow() | Out-Null; $p.WaitForExit(10000) | Out-Null }
    $text = if (Test-Path $log) { Get-Content $log -Raw } else { '' }
    Check "$row (first frame, still running after 3 s)" ($alive -and $text -match 'first-frame') $text
    Check "$row (closed with status 0)" ($p.ExitCode -eq 0) "status $($p.ExitCode)"
    return $text
}

Session 'plain' 'pc-plain' '' | Out-Null
$tls = Session 'vencrypt' 'pc-1' 'ca.pem'
$version = ([regex]::Match($tls, 'tls (TLS [0-9.]+)')).Groups[1].Value
Write-Output "vencrypt negotiated: $version"
Check 'vencrypt (TLS 1.3 on Windows 10 2004+/11 with an OpenSSL 3 agent)' ($version -eq 'TLS 1.3') $version

# x11vnc -sslverify on pc-3: the operator's certificate opens the session, none ends it.
$env:TALVIEWER_OPERATOR = Join-Path $here 'alice.pem'
Session 'client-cert' 'pc-3' 'ca.pem' | Out-Null
$env:TALVIEWER_OPERATOR = Join-Path $work 'none.pem'
Row 'no-client-cert' 'pc-3' 7 'The TLS handshake with pc-3 failed' 'ca.pem'

Row 'wrong-ca' 'pc-1' 7 "not issued by this deployment's certificate authority" 'other.pem'
Row 'wrong-name' 'pc-2' 7 "The machine's certificate is not for pc-2." 'ca.pem'
Row 'self-signed' 'pc-self' 7 "not issued by this deployment's certificate authority" 'ca.pem'

# talagent.exe's access-list check on real NTFS, where it is beside this script.
$agent = Join-Path $here 'talagent.exe'
if (Test-Path $agent) {
    $open = Join-Path $work 'open.key'
    Set-Content -Path $open -Value ('ab' * 32) -Encoding ascii
    icacls $open /grant '*S-1-5-32-545:R' | Out-Null  # Users may read it
    $info = New-Object System.Diagnostics.ProcessStartInfo -Property @{
        FileName = $agent; UseShellExecute = $false; RedirectStandardError = $true
        Arguments = "--server 127.0.0.1:1 --name pc-w --insecure --key-file `"$open`""
    }
    Verdict 'agent-key-open-to-users' ([System.Diagnostics.Process]::Start($info)) 1 'may be read by Users'
}

Remove-Item -Recurse -Force $work
Write-Output "$failures failure(s)"
exit $failures
