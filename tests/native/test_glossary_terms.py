"""Holds every translated text to its glossary: a term a glossary says is
never used ("never „vergisst“") must not appear in that language's module,
agent, agent library or help.

    python3 -m unittest tests/native/test_glossary_terms.py
"""

import re
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
LANGUAGES = ("1031", "1036", "1041")
NEVER = re.compile(r'never\s+(?:"([^"]+)"|„([^“]+)“|«\s*([^»]+?)\s*»|([^\s);]+))')


def forbidden_terms(language):
    glossary = (ROOT / "resources" / "lang" / language / "glossary.txt").read_text(encoding="utf-8")
    return [next(group for group in found if group) for found in NEVER.findall(glossary)]


def texts_of(language):
    """Each file's lines that users read: comments left out."""
    files = {
        "resources/lang/%s/gagent.rc" % language: "//",
        "resources/help/%s/gagent.txt" % language: "#",
        "companions/keyagent/lang/%s.rc" % language: "//",
        "companions/openssh/lang/%s.rc" % language: "//",
    }
    for name, comment in files.items():
        for number, line in enumerate((ROOT / name).read_text(encoding="utf-8").splitlines(), 1):
            if not line.lstrip().startswith(comment):
                yield "%s:%d" % (name, number), line


class GlossaryTerms(unittest.TestCase):
    def test_no_text_uses_a_term_its_glossary_rules_out(self):
        for language in LANGUAGES:
            terms = forbidden_terms(language)
            self.assertTrue(terms, "no 'never' entries read from the %s glossary" % language)
            for where, line in texts_of(language):
                for term in terms:
                    with self.subTest(where=where, term=term):
                        self.assertNotIn(term.replace("\u00a0", " "), line.replace("\u00a0", " "))


if __name__ == "__main__":
    unittest.main()
