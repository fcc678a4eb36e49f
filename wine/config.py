"""What the build tree gives the Wine side: the JSON file the build writes
(BUILD/e2e/config.json) naming setup.exe, the simulator, the helper programs
and the work folder."""

import json
import os


class Config:
    def __init__(self, path):
        with open(path) as f:
            data = json.load(f)
        self.setup_exe = data['setup_exe']
        self.package = data['package']
        self.work = data['work']
        self.tools = data['tools']
        self.source = data.get('source', '')
        self.sim = self.tools.get('sim', '')
        self.base = os.path.join(self.work, 'base-prefix')
