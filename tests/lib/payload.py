"""The secure-mode payload cipher seen from a page: AES-256-CBC with PKCS #7 padding under
the key and IV the agent was built with (the CMake cache of QUILLMARK_BUILD_DIR, else the
defaults). Uses the openssl command, so it checks the agent against another implementation.
"""

import subprocess

from build_config import cache_value

DEFAULT_KEY = "10a4e3ae1fc35be7bb511778af1b9a6abf943d7bab2682788d0acfd0e3a24bc5"
DEFAULT_IV = "4d90a7eb5cff26731e0633e86d030937"


def key_and_iv(build_dir=None):
    """The build's (key, iv) as hex texts."""
    return (cache_value("QUILLMARK_PAYLOAD_KEY", DEFAULT_KEY, build_dir),
            cache_value("QUILLMARK_PAYLOAD_IV", DEFAULT_IV, build_dir))


def _openssl(data, decrypt):
    key, iv = key_and_iv()
    args = ["openssl", "enc", "-aes-256-cbc", "-K", key, "-iv", iv]
    result = subprocess.run(args + (["-d"] if decrypt else []), input=data,
                            capture_output=True)
    if result.returncode != 0:
        raise ValueError("openssl enc failed: " + result.stderr.decode(errors="replace"))
    return result.stdout


def encrypt(data):
    return _openssl(data, decrypt=False)


def decrypt(data):
    """Raises ValueError when the data is not a valid ciphertext under the key and IV."""
    return _openssl(data, decrypt=True)
