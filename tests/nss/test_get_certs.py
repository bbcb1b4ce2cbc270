"""getCerts through the real quillmarkd over HTTP, against the test PKI."""

import os
import shutil
import stat
import tempfile
import unittest

from agent import Agent, AgentTestCase, call, executable, post_json
from pki import nss_database_path, shared_pki

PR_NOT_DIRECTORY_ERROR = -5949
SEC_ERROR_PKCS11_GENERAL_ERROR = -8025  # what NSS makes of SQLite's "not a database"
GET_CERTS = {"action": "getCerts"}

pki = shared_pki()


def unsigned(code):
    return code & 0xFFFFFFFF


DATABASE_FILES = ("cert9.db", "key4.db")


def overwrite_with_garbage(db):
    """Writes garbage into the database's files, as they stand."""
    for name in DATABASE_FILES:
        with open(os.path.join(db, name), "wb") as f:
            f.write(b"this is not an SQLite database" * 100)


def replace_database_files(source, db):
    """Puts copies of source's database files in place of db's under the same names."""
    for name in DATABASE_FILES:
        shutil.copy2(os.path.join(source, name), os.path.join(db, name + ".new"))
        os.rename(os.path.join(db, name + ".new"), os.path.join(db, name))


class ListingTest(AgentTestCase):
    @classmethod
    def prepare_home(cls, home):
        pki.install(home)

    def test_every_user_certificate_with_name_serial_and_chain(self):
        reply = call(GET_CERTS)
        self.assertEqual(list(reply), ["action", "certs", "size"])
        self.assertEqual(reply["action"], "getCerts")
        self.assertEqual(reply["size"], len(pki.users))
        listed = {entry["serialNumber"]: entry for entry in reply["certs"]}
        self.assertEqual(set(listed), {cert.serial_hex for cert in pki.users.values()})
        for cert in pki.users.values():
            with self.subTest(cert.key):
                entry = listed[cert.serial_hex]
                if cert.name is None:
                    self.assertEqual(list(entry), ["serialNumber", "certChains"])
                else:
                    self.assertEqual(list(entry), ["name", "serialNumber", "certChains"])
                    self.assertEqual(entry["name"], cert.name)
                self.assertEqual(entry["certChains"], cert.chain_base64())

    def test_special_certificates(self):
        listed = {e["serialNumber"]: e for e in call(GET_CERTS)["certs"]}
        # The DER INTEGER keeps its leading zero: the serial text starts with 00.
        self.assertIn("009a12", listed)
        self.assertEqual(listed["009a12"]["name"], "Quillmark High Serial")
        self.assertEqual(len(listed[pki.users["self-signed"].serial_hex]["certChains"]), 1)
        # Without its issuer the chain holds the certificate alone.
        self.assertEqual(len(listed[pki.users["orphan"].serial_hex]["certChains"]), 1)
        self.assertEqual(len(listed[pki.users["expired"].serial_hex]["certChains"]), 3)
        self.assertEqual(listed[pki.users["vietnamese"].serial_hex]["name"], "Nguyễn Văn Thành")
        self.assertEqual(listed[pki.users["no-cn"].serial_hex]["name"], "Signing")

    def test_reply_bytes_and_log(self):
        text = post_json('{"action":"getCerts"}')
        self.assertTrue(text.startswith('{\n\t"action":\t"getCerts",\n\t"certs":\t['), text[:60])
        self.assertTrue(text.endswith(f'\n\t"size":\t{len(pki.users)}\n}}'), text[-40:])
        self.assertIn("Nguyễn Văn Thành", text)  # UTF-8 unescaped
        log = self.agent.log_texts()
        self.assertEqual(log.count("WideCharToMultiByte error"), log.count("getCerts"))
        self.assertIn("getCerts", log)

    def test_certificates_imported_or_deleted_while_running_show_at_once(self):
        db = nss_database_path(self.agent.home)
        before = call(GET_CERTS)["size"]
        pki.add_issued_users(self.agent.home, 1)
        self.assertEqual(call(GET_CERTS)["size"], before + 1)
        os.system(f"certutil -D -d sql:{db} -n bulk-0")
        self.assertEqual(call(GET_CERTS)["size"], before)


class StoreTest(unittest.TestCase):
    """The store stages: a missing database is created, a broken one is the MY error."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="quillmark-home-")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def test_missing_database_is_created_empty_for_the_owner_only(self):
        with Agent(home=self.home):
            reply = call(GET_CERTS)
        self.assertEqual(reply, {"action": "getCerts", "certs": [], "size": 0})
        db = nss_database_path(self.home)
        self.assertEqual(stat.S_IMODE(os.stat(db).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(db)).st_mode), 0o700)
        self.assertTrue(os.path.exists(os.path.join(db, "cert9.db")))

    def assert_store_error(self, agent, reply, message, code):
        self.assertEqual(list(reply), ["action", "certs", "error", "errorCode", "size"])
        self.assertEqual((reply["certs"], reply["error"], reply["size"]), ([], message, 0))
        self.assertEqual(reply["errorCode"], unsigned(code))
        log = agent.log_texts()
        index = len(log) - 1 - log[::-1].index(message)
        self.assertEqual(log[index + 1], format(unsigned(code), "x"))

    def assert_store_failure(self, agent, code):
        """getCerts answers the MY error and both sign outputs their store texts, all with
        the NSS code of opening the database."""
        self.assert_store_error(agent, call(GET_CERTS), "CertOpenStore MY error", code)
        sign = call({"action": "sign", "serialNumber": pki.users["sha1"].serial_hex,
                     "dataHex": "00"})
        self.assertEqual(sign, {"action": "sign", "error": "The store was not opened",
                                "errorCode": unsigned(code)})
        self.assertIn("The store was not opened.", agent.log_texts()[-6:])
        sign = call({"action": "sign", "serialNumber": pki.users["sha1"].serial_hex,
                     "dataHex": "00", "cms": True})
        self.assertEqual(sign["error"], "The store was not opened.")
        self.assertIn("The store was not opened", agent.log_texts()[-6:])

    def assert_store_works(self):
        self.assertEqual(call(GET_CERTS)["size"], 1)
        self.assertIn("signedData", call({"action": "sign", "dataHex": "00",
                                          "serialNumber": pki.users["sha1"].serial_hex}))

    def test_database_overwritten_with_garbage_is_the_my_error_until_it_is_repaired(self):
        db = nss_database_path(self.home)
        os.makedirs(db)
        overwrite_with_garbage(db)
        with Agent(home=self.home) as agent:
            # Garbage before the first request: the database cannot be opened.
            self.assert_store_failure(agent, SEC_ERROR_PKCS11_GENERAL_ERROR)
            # Once it is repaired the next request opens it; no restart needed.
            pki.install(self.home, users=["sha1"])
            self.assert_store_works()
            # Garbage written into the open database's files, and then new files put in
            # their place: the same failure, and again no restart needed.
            overwrite_with_garbage(db)
            self.assert_store_failure(agent, SEC_ERROR_PKCS11_GENERAL_ERROR)
            pki.install(self.home, users=["sha1"])
            self.assert_store_works()

    def test_database_files_replaced_or_removed_while_running_are_read_again(self):
        db = pki.install(self.home, users=["sha1", "vietnamese"])
        saved = shutil.copytree(db, os.path.join(self.home, "saved"))
        smaller = pki.install(os.path.join(self.home, "smaller"), users=["sha1"])
        removed = {"action": "sign", "serialNumber": pki.users["vietnamese"].serial_hex,
                   "dataHex": "00"}
        with Agent(home=self.home):
            self.assertIn("signedData", call(removed))
            # New files renamed over the open ones, as a restore or a sync tool puts them.
            replace_database_files(smaller, db)
            self.assert_store_works()
            self.assertNotIn("signedData", call(removed))
            # Corrupted, removed (the next request makes an empty store), then restored.
            overwrite_with_garbage(db)
            self.assertIn("error", call(GET_CERTS))
            for name in DATABASE_FILES:
                os.remove(os.path.join(db, name))
            self.assertEqual(call(GET_CERTS)["size"], 0)
            replace_database_files(saved, db)
            self.assertEqual(call(GET_CERTS)["size"], 2)

    def test_key_imported_while_running_signs_at_once(self):
        sign = {"action": "sign", "serialNumber": pki.users["sha1"].serial_hex, "dataHex": "00"}
        # Into a database that was there before the agent started, and into the one the
        # agent created empty on its first request.
        for existing in (True, False):
            home = tempfile.mkdtemp(dir=self.home)
            if existing:
                pki.install(home, users=["vietnamese"])
            with Agent(home=home):
                self.assertEqual(call(GET_CERTS)["size"], int(existing))
                pki.import_user(home, pki.users["sha1"])
                self.assertIn("signedData", call(sign))

    def test_read_only_home_lists_and_signs(self):
        pki.install(self.home, users=["sha1"])
        # The agent sees HOME through a read-only bind mount of its own.
        wrapper = os.path.join(self.home, "read-only-home")
        with open(wrapper, "w") as f:
            f.write('#!/bin/sh\nexec unshare -m sh -c \'mount --bind -o ro "$HOME" "$HOME" '
                    f'&& exec {executable()}\'\n')
        os.chmod(wrapper, 0o755)
        with Agent(home=self.home, path=wrapper):
            self.assertEqual(call(GET_CERTS)["size"], 1)
            reply = call({"action": "sign", "serialNumber": pki.users["sha1"].serial_hex,
                          "dataHex": "00"})
            self.assertIn("signedData", reply)

    def test_folders_that_cannot_be_made_are_the_root_and_ca_errors(self):
        pki_folder = os.path.join(self.home, ".pki")
        with open(pki_folder, "w") as f:
            f.write("a file where the .pki folder belongs")
        with Agent(home=self.home) as agent:
            self.assert_store_error(agent, call(GET_CERTS), "CertOpenStore ROOT error",
                                    PR_NOT_DIRECTORY_ERROR)
            os.remove(pki_folder)
            os.mkdir(pki_folder)
            with open(os.path.join(pki_folder, "nssdb"), "w") as f:
                f.write("a file where the database folder belongs")
            self.assert_store_error(agent, call(GET_CERTS), "CertOpenStore CA error",
                                    PR_NOT_DIRECTORY_ERROR)
            sign = call({"action": "sign", "serialNumber": "01", "dataHex": "00"})
            self.assertEqual(sign["error"], "The store was not opened")
            self.assertEqual(sign["errorCode"], unsigned(PR_NOT_DIRECTORY_ERROR))


if __name__ == "__main__":
    unittest.main()
