"""A short soak of the real Ordane.exe (scripts/soak.sh runs the long one): 200 readings of
random length and content, cards now and then and a share over the Symbol link, each
delivered exactly once and unaltered, with no growth of handles or memory to speak of."""

import unittest

from harness import UPLOAD_KEY, keep_registry
from soak import Soak, within_bounds


class SoakTest(unittest.TestCase):
    def test_two_hundred_readings_arrive_once_and_unaltered(self):
        keep_registry(self, UPLOAD_KEY, "upload")
        result = Soak(count=200, seed=7, symbol_share=0.2, card_every=40).run()
        self.assertEqual(result["problems"], [])
        self.assertEqual(result["delivered"], 200)
        self.assertEqual(result["symbol_readings"], 80)
        self.assertEqual(result["cards"], 5)
        self.assertGreaterEqual(result["card_records"], 5)
        self.assertEqual(result["exit_code"], 0)
        self.assertTrue(within_bounds(result), result)


if __name__ == "__main__":
    unittest.main()
