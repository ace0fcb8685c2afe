"""Deployments for the viewer's script tests: certificates from the project's talpki and folders
holding talviewer the way an operator's bundle does (ca.pem, or allow-plain-sessions, beside it)."""
import os
import shutil
import subprocess


def make_pki(talpki, pki, name):
    """A deployment CA at pki with agent certificates for name and other-pc, and another CA at
    pki/other with a certificate for name too."""
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    other = os.path.join(pki, "other")
    subprocess.run([talpki, "ca", "--days", "2", pki], **quiet)
    for agent in (name, "other-pc"):
        subprocess.run([talpki, "agent", "--days", "2", pki, agent], **quiet)
    subprocess.run([talpki, "ca", "--days", "2", other], **quiet)
    subprocess.run([talpki, "agent", "--days", "2", other, name], **quiet)


def viewer_folder(talviewer, folder, ca_dir=None):
    """talviewer copied into a new folder, with ca_dir's ca.pem beside it, or without a CA with
    plain sessions allowed."""
    os.mkdir(folder)
    shutil.copy(talviewer, folder)
    if ca_dir:
        shutil.copy(os.path.join(ca_dir, "ca.pem"), folder)
    else:
        open(os.path.join(folder, "allow-plain-sessions"), "w").close()
    return folder
