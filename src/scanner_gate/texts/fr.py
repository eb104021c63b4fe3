"""Les textes des règles en français (voir scanner_gate.texts). Les formes
de `says` sont les textes exacts du moteur : c'est par elles qu'un message
est lu, puis écrit dans la langue choisie."""

from scanner_gate.texts import Archive, Fifo, File, Link, RuleText, Table

_POLICY_CHANGE = (
    "Si l'import est voulu, le plugin demande un changement de politique : c'est au relecteur d'en décider, "
    "pas au plugin."
)
_HIDDEN = (
    "Un examen ligne à ligne ne lit qu'une ligne à la fois et ne le voit pas ; l'audit lit le fichier comme "
    "Python le lit et montre que Python l'exécute."
)
_REMOVE_ENTRY = (
    "Retirez-le du plugin, ou demandez aux mainteneurs de l'hôte de le vérifier par d'autres moyens."
)
_DENY = "Avertissement ; il fait échouer le fichier quand tout est refusé par défaut (`fail_on = \"warning\"`)."

RULES = {
    "forbidden-import": RuleText(
        title="Un import dont la racine est interdite par la politique",
        says=("import interdit \u2014 '{module}'",),
        finds="Une instruction `import` ou `from ... import` d'un module sous une racine que la liste `forbidden` "
        "de la politique nomme : `os` interdit `os`, `os.path` et tout module en dessous.",
        matters="Un module interdit donne au plugin des pouvoirs que l'hôte n'accorde pas aux plugins : lancer des "
        "programmes, ouvrir des sockets, lire et écrire n'importe quel fichier. Le fichier échoue.",
        fix="Auteur : retirez l'import et servez-vous de ce que l'hôte propose. Relecteur : " + _POLICY_CHANGE,
        example=(File("plugin/cli.py", "import subprocess\n\nsubprocess.run(['ls'])\n"),),
    ),
    "unlisted-import": RuleText(
        title="Un import qui ne figure sur aucune liste de la politique",
        says=("import non whitelist\u00e9 \u2014 '{module}'",),
        finds="L'import d'un module ni interdit, ni permis par `allowed_exact` ou `allowed_prefixes`, ni parmi "
        "les modules du plugin lui-même (`local_modules`).",
        matters="Personne n'a encore jugé ce module. Il ne fait pas échouer le fichier, sauf si la politique "
        "refuse tout par défaut (`fail_on = \"warning\"`).",
        fix="Relecteur : décidez si le module va dans `allowed_exact`, `allowed_prefixes` ou `forbidden`. "
        "Auteur : si c'est un paquet du plugin, nommez-le dans `local_modules`.",
        example=(File("plugin/feed.py", "import yaml\n"),),
    ),
    "unreadable-file": RuleText(
        title="Un fichier qui ne peut pas être ouvert",
        says=("impossible d'ouvrir le fichier", "impossible d'ouvrir le fichier ({reason})"),
        finds="Un fichier que l'examen ne peut pas ouvrir en lecture : pas de permission, un lien vers un fichier "
        "illisible, un FIFO, un périphérique ou un socket nommé sur la ligne de commande. La raison entre "
        "parenthèses, pour une archive donnée, est celle du système.",
        matters="Python pourrait l'importer une fois le plugin installé, et rien de ce qu'il importe n'est connu. "
        "Le fichier échoue.",
        fix="Faites-en un fichier ordinaire lisible, ou retirez-le du plugin.",
        example=(Link("plugin/secret.py", "/sys/bus/platform/uevent"),),
    ),
    "other-scan-error": RuleText(
        title="Une erreur de l'examen ligne à ligne sous une forme que la commande ne connaît pas",
        says=("{reason}",),
        finds="Un message de l'examen ligne à ligne, au niveau d'une erreur, sous aucune des formes ci-dessus. "
        "Aucune version du module n'en produit aujourd'hui : la règle existe pour qu'une forme nouvelle soit "
        "signalée, jamais perdue.",
        matters="Le fichier échoue, comme pour toute erreur.",
        fix="Lisez le message, et passez à une version de la commande qui connaît cette forme.",
    ),
    "other-scan-warning": RuleText(
        title="Un avertissement de l'examen ligne à ligne sous une forme que la commande ne connaît pas",
        says=("{reason}",),
        finds="Un message de l'examen ligne à ligne, au niveau d'un avertissement, sous aucune des formes "
        "ci-dessus. Aucune version du module n'en produit aujourd'hui.",
        matters="Il ne fait pas échouer le fichier, sauf si la politique refuse tout par défaut.",
        fix="Lisez le message, et passez à une version de la commande qui connaît cette forme.",
    ),
    "hidden-forbidden-import": RuleText(
        title="Un import interdit qu'un examen ligne à ligne ne voit pas",
        says=("import cach\u00e9 interdit \u2014 '{module}'",),
        finds="L'import d'un module interdit écrit là où un examen ligne à ligne ne regarde pas : le second nom "
        "de `import json, os`, après `;`, sur la ligne d'un `if` ou d'un `try`, au-delà d'une ligne de "
        "continuation, un nom écrit en d'autres lettres que Python ramène aux siennes (`import \uff4f\uff53`), "
        "ou un appel de `__import__` ou `importlib.import_module` avec un nom constant.",
        matters=_HIDDEN + " Cacher un import est déjà une raison de se méfier. Le fichier échoue.",
        fix="Auteur : retirez l'import. Relecteur : lisez le fichier en vous demandant pourquoi l'import était "
        "caché.",
        example=(File("plugin/util.py", "import json, os\n"),),
    ),
    "hidden-unlisted-import": RuleText(
        title="Un import hors de toute liste qu'un examen ligne à ligne ne voit pas",
        says=("import cach\u00e9 non whitelist\u00e9 \u2014 '{module}'",),
        finds="L'import d'un module qui ne figure sur aucune liste de la politique, sous une forme qu'un examen "
        "ligne à ligne ne lit pas (voir [hidden-forbidden-import](hidden-forbidden-import.md)).",
        matters=_HIDDEN + " Il ne fait pas échouer le fichier, sauf si la politique refuse tout par défaut.",
        fix="Comme pour [unlisted-import](unlisted-import.md) : le relecteur décide où le module va.",
        example=(File("plugin/util.py", "import json, yaml\n"),),
    ),
    "non-constant-dynamic-import": RuleText(
        title="Un appel de __import__ ou import_module dont le module n'est pas une constante",
        says=("import dynamique non constant \u2014 '{module}'",),
        finds="Un appel de `__import__` ou `importlib.import_module` (ou d'un nom qu'une instruction d'import "
        "leur lie) dont le nom de module est calculé : une variable, une f-string, tout ce que le compilateur de "
        "Python ne plie pas en une chaîne constante (`\"o\" + \"s\"` en est une) ; ou `__import__` avec une "
        "`fromlist` qui n'est pas une liste ou un tuple de chaînes constantes, dont il importe les noms sous le "
        "module. Le message nomme la fonction appelée.",
        matters="Le module est choisi quand le plugin s'exécute : aucune lecture de la source ne peut dire lequel, "
        "et ce peut être n'importe quel module interdit. " + _DENY,
        fix="Auteur : importez les modules par leur nom, ou choisissez parmi des noms constants. Relecteur : "
        "suivez d'où vient le nom.",
        example=(File("plugin/loader.py", "name = input()\n__import__(name)\n"),),
    ),
    "unaudited-file": RuleText(
        title="Un fichier qui ne peut pas être lu jusqu'au bout comme source Python",
        says=(
            "fichier refus\u00e9 par le parseur Python ({reason})",
            "fichier non audit\u00e9 par le moteur, \u00e0 lire par Python ({reason})",
            "code dynamique non audit\u00e9 ({reason})",
            "fichier illisible pour l'audit ({reason})",
            "membre d'une archive tar \u00e0 lire par Python ({reason}), trop long pour \u00eatre gard\u00e9 le temps "
            "de le relire",
        ),
        finds="Un fichier que l'audit n'a pas pu lire jusqu'au bout comme Python le lit : des octets invalides "
        "dans son encodage, un octet NUL, une chaîne ou une parenthèse encore ouverte à la fin, une imbrication "
        "plus profonde que ce que Python permet, une déclaration d'encodage que Python refuse, ou du texte donné "
        "à `exec` imbriqué trop profondément, des octets qui lui sont donnés dans un encodage que seul Python "
        "décode, ou des constantes qui se plient au-delà de la borne de l'audit ; ou un membre de tar dans un encodage que seul Python décode, plus "
        "long que les 8 Mio gardés pour le relire. La raison entre parenthèses est celle de Python, dans ses mots, "
        "quand Python en donne une.",
        matters="Ce que le fichier importe est inconnu, donc il échoue : un fichier que Python ne peut pas lire "
        "tel quel ne peut pas non plus être importé, et une barrière ne laisse pas passer ce qu'elle n'a pas lu.",
        fix="Auteur : corrigez le fichier jusqu'à ce que Python le compile (`python -m py_compile FICHIER` dit "
        "où il s'arrête). Relecteur : un plugin n'a aucune raison de livrer un fichier que Python refuse.",
        example=(File("plugin/broken.py", "print(\"jamais fermée\n"),),
    ),
    "extension-module": RuleText(
        title="Un module d'extension compilé, que Python importe et que personne ne peut lire",
        says=("module d'extension compil\u00e9, que Python importe sans source \u00e0 lire",),
        finds="Un fichier dont le nom finit par `.so` ou `.pyd` (tous les suffixes de "
        "`importlib.machinery.EXTENSION_SUFFIXES`), dans l'arbre ou nommé sur la ligne de commande.",
        matters="Du code natif que Python importe comme tout module : `from . import speedups` à côté le charge, "
        "et il peut tout faire. La barrière ne peut pas le juger. Le fichier échoue.",
        fix="Auteur : livrez la source à la place. Relecteur : " + _REMOVE_ENTRY,
        example=(File("plugin/speedups.cpython-313-x86_64-linux-gnu.so", ""),),
    ),
    "compiled-bytecode": RuleText(
        title="Un fichier .pyc, que Python peut exécuter au lieu de la source relue",
        says=("bytecode compil\u00e9, que Python peut ex\u00e9cuter au lieu de la source",),
        finds="Un fichier `.pyc` n'importe où dans l'arbre, `__pycache__` compris.",
        matters="Python exécute un `.pyc` seul, et un `.pyc` de `__pycache__` dont le hachage n'est pas vérifié "
        "ou dont la taille et la date notées correspondent à la source, au lieu du `.py` voisin : le code exécuté "
        "n'est pas le code relu. Le fichier échoue.",
        fix="Retirez tous les `.pyc` et `__pycache__` du plugin avant la relecture (`git clean -X`, ou une archive "
        "construite sans eux).",
        example=(File("plugin/__pycache__/cli.cpython-313.pyc", ""),),
    ),
    "path-configuration-file": RuleText(
        title="Un fichier .pth, dont les lignes import s'exécutent au démarrage de l'interpréteur",
        says=("fichier .pth, dont les lignes import s'ex\u00e9cutent au d\u00e9marrage de Python",),
        finds="Un fichier dont le nom finit par `.pth`.",
        matters="Une fois installé dans un répertoire de site, chaque ligne d'un `.pth` qui commence par `import` "
        "s'exécute à chaque démarrage de l'interpréteur, avant l'hôte. Un plugin n'a aucune raison d'en livrer "
        "un. Le fichier échoue.",
        fix=_REMOVE_ENTRY,
        example=(File("plugin/plugin.pth", "import os; os.system('true')\n"),),
    ),
    "unread-archive": RuleText(
        title="Une archive qu'un parcours a trouvée sans la lire",
        says=("archive non lue (wheel, zip, zipapp, egg ou sdist)",),
        finds="Une archive wheel, zip, zipapp, egg ou sdist (`.whl`, `.zip`, `.pyz`, `.egg`, `.tar.gz` et les autres "
        "suffixes d'un tar) que le parcours du moteur a trouvée dans un arbre sans l'ouvrir. La commande "
        "`scanner-core` lit chaque archive qu'elle rencontre, membre par membre (voir "
        "[Archives](../../archives.md)) : elle ne signale donc jamais cette trouvaille. Seul le module "
        "`scanner_audit` employé seul la signale, car son parcours nomme les archives sans les ouvrir.",
        matters="Python importe les modules d'une archive placée sur `sys.path`, et un installateur la décompresse : "
        "ce qu'elle contient s'exécute comme tout autre fichier du plugin, et rien n'en est jugé. Le fichier échoue.",
        fix="Jugez l'arbre avec la commande `scanner-core`, qui lit l'archive, ou retirez l'archive du plugin.",
    ),
    "unread-entry-points": RuleText(
        title="Un fichier de points d'entrée qu'un parcours a trouvé sans le lire",
        says=("points d'entrée non lus (entry_points.txt ou pyproject.toml)",),
        finds="Un `entry_points.txt` dans le répertoire de métadonnées d'une distribution (`.dist-info`, "
        "`.egg-info`, l'`EGG-INFO` d'un egg) ou un `pyproject.toml` que le parcours du moteur a trouvé dans un "
        "arbre sans le lire. La commande `scanner-core` lit chacun de ces fichiers (voir `invalid-entry-point`) : "
        "elle ne signale donc jamais cette trouvaille. Seul le module `scanner_audit` employé seul la signale, car "
        "son parcours les nomme sans les lire.",
        matters="L'hôte importe le module que nomme chaque point d'entrée quand il charge le plugin, et aucun "
        "n'est jugé. Le fichier échoue.",
        fix="Jugez l'arbre avec la commande `scanner-core`, qui lit les points d'entrée.",
    ),
    "dangling-link": RuleText(
        title="Un lien nommé comme un module dont la cible n'existe pas",
        says=("lien vers un fichier absent ({reason})", "lien vers un fichier absent"),
        finds="Un lien symbolique nommé comme un module (`.py`) ou comme l'une des entrées ci-dessus, dont la "
        "cible n'existe pas.",
        matters="Le lien ne mène nulle part aujourd'hui, mais peut mener à n'importe quel fichier une fois le "
        "plugin installé : ce qu'il importerait ne peut pas être jugé. L'entrée échoue.",
        fix="Remplacez le lien par le fichier lui-même.",
        example=(Link("plugin/helpers.py", "missing.py"),),
    ),
    "not-a-regular-file": RuleText(
        title="Un FIFO, un socket ou un périphérique nommé comme un module",
        says=("ni fichier ordinaire ni r\u00e9pertoire",),
        finds="Un FIFO, un socket ou un périphérique nommé comme un module ou comme l'une des entrées ci-dessus.",
        matters="Le lire pourrait attendre sans fin ou donner n'importe quoi, donc il n'est pas lu ; un plugin n'a "
        "aucune raison d'en livrer un. L'entrée échoue.",
        fix=_REMOVE_ENTRY,
        example=(Fifo("plugin/pipe.py"),),
    ),
    "link-loop": RuleText(
        title="Un lien qui ramène à lui-même ou à un répertoire au-dessus de lui",
        says=("boucle de liens ({reason})", "boucle de liens"),
        finds="Un lien vers un répertoire en cours de parcours, vers un répertoire qui contient l'arbre (`/`, le "
        "parent de l'arbre), ou vers lui-même.",
        matters="Le parcours ne le suit pas une seconde fois, donc ce qui est derrière est jugé une fois, "
        "ailleurs, ou pas du tout. Un plugin n'a aucune raison d'en livrer un. L'entrée échoue.",
        fix="Retirez le lien.",
        example=(Link("plugin/again", "."),),
    ),
    "unreadable-entry": RuleText(
        title="Un répertoire ou une entrée que le parcours ne peut ni ouvrir, ni lister, ni consulter",
        says=("entr\u00e9e illisible ({reason})", "entr\u00e9e illisible"),
        finds="Un répertoire qui ne peut être ni ouvert ni listé, ou une entrée dont la cible ne peut pas être "
        "consultée (permissions, nom trop long). La raison entre parenthèses est celle du système.",
        matters="Ce qu'elle contient est inconnu, donc l'arbre échoue tant qu'elle ne peut pas être lue et jugée. "
        "Le reste de l'arbre est parcouru et signalé comme d'habitude.",
        fix="Rendez l'entrée lisible par l'utilisateur qui lance la barrière, ou retirez-la.",
        example=(Link("plugin/long.py", "n" * 300),),
    ),
    "importer-reference": RuleText(
        title="Un importeur, un exécuteur de code ou un chargeur nommé hors d'un appel",
        says=("r\u00e9f\u00e9rence \u00e0 un importeur hors d'un appel \u2014 '{module}'",),
        finds="`__import__`, `import_module`, `exec`, `eval`, `compile`, `__loader__` ou `__spec__.loader` "
        "utilisé autrement qu'en l'appelant : affecté à un nom, passé à une fonction, atteint par `getattr` ou "
        "par un indice constant (`__builtins__[\"__import__\"]`).",
        matters="Ce qui sera appelé plus tard par le nouveau nom ne peut pas être jugé depuis la source : c'est "
        "un moyen de contourner l'audit des imports dynamiques. " + _DENY,
        fix="Auteur : appelez l'importeur directement, avec un nom constant. Relecteur : suivez où va la "
        "référence.",
        example=(File("plugin/tricks.py", "load = __import__\n"),),
    ),
    "dynamic-code": RuleText(
        title="exec, eval ou compile d'un texte qui n'est pas constant, ou que Python refuse",
        says=(
            "code dynamique non constant \u2014 '{module}'",
            "code dynamique refus\u00e9 par Python, qui ne l'ex\u00e9cutera pas",
        ),
        finds="Un appel de `exec`, `eval` ou `compile` avec autre chose qu'une chaîne ou des octets constants tels "
        "que le compilateur de Python les plie (une variable, une f-string avec un champ, un texte plus long que "
        "ce que CPython plie), ou avec un texte constant que Python refuse de compiler. Un texte constant est "
        "lui-même audité comme source Python (`\"imp\" + \"ort os\"` compris), et ses imports sont signalés à "
        "la ligne de l'appel.",
        matters="Du code construit pendant l'exécution du plugin peut importer n'importe quoi. " + _DENY,
        fix="Auteur : écrivez le code comme du code. Relecteur : suivez d'où vient le texte.",
        example=(File("plugin/run.py", "exec(input())\n"),),
    ),
    "relative-dynamic-import": RuleText(
        title="Un import dynamique relatif dont l'ancre n'est pas une constante",
        says=("import dynamique relatif sans ancre constante \u2014 '{module}'",),
        finds="Un nom relatif donné à `importlib.import_module` ou à `__import__` dont l'ancre (l'argument "
        "`package`, ou les globales données) est calculée.",
        matters="Le module importé se résout par rapport à l'ancre : quand l'ancre est calculée, le module l'est "
        "aussi. " + _DENY,
        fix="Donnez l'ancre comme une constante, ou importez par un nom absolu.",
        example=(File("plugin/late.py", "import importlib\n\npackage = input()\nimportlib.import_module('.tools', "
                      "package)\n"),),
    ),
    "relative-import-above-root": RuleText(
        title="Un import relatif qui remonte au-dessus de la racine de l'arbre du plugin",
        says=("import relatif hors de l'arbre \u2014 '{module}'",),
        finds="Un import relatif (une instruction, ou un import dynamique ancré sur le paquet du module) dont le "
        "niveau remonte au-dessus de l'arbre donné : `from .. import x` dans un fichier au sommet de l'arbre.",
        matters="Il atteint le paquet qui contient le plugin une fois installé, les modules de l'hôte lui-même, "
        "que la politique n'a jamais jugés. Le fichier échoue.",
        fix="Un plugin n'importe relativement que ses propres modules ; importez le reste par son nom absolu, que "
        "la politique juge alors.",
        example=(File("plugin/cli.py", "from .. import host\n"),),
    ),
    "forbidden-module-reached": RuleText(
        title="Un module interdit pris par un module que la politique permet",
        says=("module interdit atteint par une cha\u00eene de noms \u2014 '{module}'",),
        finds="Un nom lié à un module de la bibliothèque standard, ou d'une table que nomme `holdings` dans la "
        "politique, suivi, attribut par attribut, jusqu'à un module "
        "interdit ou un objet défini dans l'un d'eux : `from logging import os`, `logging.os.system(...)`, "
        "`tempfile._shutil.rmtree(...)`, `from ssl import *` (qui lie `os`). Le message nomme la chaîne et le "
        "module atteint. Ce que contient chaque module standard est lu dans l'interpréteur à la construction du "
        "moteur ; ce que contiennent les autres, dans les tables qu'écrit `scanner-core --write-holdings`.",
        matters="Python donne au plugin le module interdit lui-même : permettre `logging` permettrait `os`. Le "
        "fichier échoue.",
        fix="Importez ce dont le plugin a besoin depuis le module qui le définit, que la politique juge alors ; ou, "
        "si le plugin peut l'avoir, permettez ce module.",
        example=(File("plugin/log.py", "import json.tool\n\njson.tool.argparse._os.getcwd()\n"),),
    ),
    "object-graph": RuleText(
        title="Ce qui mène aux objets de l'interpréteur, par-delà tout import",
        says=("accès au graphe des objets de l'interpréteur \u2014 '{module}'",),
        finds="La lecture d'un attribut qui mène aux objets d'autres modules, sur n'importe quel objet : "
        "`__globals__`, `__subclasses__`, `__builtins__`, `__code__`, `__closure__`, `f_globals`, `f_locals`, "
        "`f_builtins` ou `f_back` d'un cadre, le cadre d'un générateur, d'une coroutine ou d'une trace "
        "(`gi_frame`, `cr_frame`, `ag_frame`, `tb_frame`) ; et l'appel de ce qui livre des cadres ou tous les "
        "objets : `gc.get_objects`, `gc.get_referrers`, `gc.get_referents`, `sys._getframe`, "
        "`sys._current_frames`, `inspect.currentframe`, `inspect.stack`, `inspect.trace`, "
        "`logging.currentframe`.",
        matters="Un plugin atteint de là tout module déjà chargé, sans aucun import : "
        "`().__class__.__mro__[1].__subclasses__()` mène à `os._wrap_close`, et son `__init__.__globals__` à "
        "`os.system`. Ce qu'il atteint ne se lit pas dans le fichier : un avertissement, que `--fail-on warning` "
        "rend fatal.",
        fix="Les plugins en ont rarement besoin ; les bibliothèques d'introspection, si. Examinez ce que le code en "
        "fait, et ne gardez un tel plugin sous `--fail-on error` que si vous lui faites confiance.",
        example=(File("plugin/peek.py", "def hook():\n    pass\n\n\nhook.__globals__\n"),),
    ),
    "search-path": RuleText(
        title="Les chemins de recherche des imports, changés à l'exécution",
        says=("chemins de recherche des imports modifiés \u2014 '{module}'",),
        finds="L'affectation ou la modification sur place de `sys.path`, `sys.meta_path` ou `sys.path_hooks` (par un "
        "nom lié à `sys`), du `__path__` d'un paquet ou de `__spec__.submodule_search_locations` : "
        "`sys.path.insert(0, ...)`, `__path__.append(...)`, `sys.path += [...]`, `sys.path[0:0] = [...]`.",
        matters="Les modules importés ensuite viennent d'où le plugin l'a choisi : `__path__.append(<un répertoire "
        "de la bibliothèque standard>)` puis `from . import socket` exécute le vrai `socket` sous le nom du plugin, "
        "que la politique ne juge jamais. Un avertissement, que `--fail-on warning` rend fatal.",
        fix="Un plugin importe ses propres modules relativement, et rien d'autre par un chemin. Retirez le "
        "changement, ou installez ce dont il a besoin comme une dépendance que la politique peut juger.",
        example=(File("plugin/paths.py", "import sys\n\nsys.path.insert(0, \"/tmp/elsewhere\")\n"),),
    ),
    "forbidden-attribute-use": RuleText(
        title="Un usage d'un module interdit hors des attributs que la politique permet",
        says=("usage d'un module interdit hors des attributs permis \u2014 '{module}'",),
        finds="Sous une politique dont `allowed_attributes` permet aux plugins certains attributs d'un module "
        "interdit (`os.path`, `os.environ`), tout autre usage d'un nom lié à ce module : un autre attribut "
        "(`os.system`), le nom nu transmis, rangé ou renvoyé (`getattr(os, nom)`, `f(os)`), `from os import "
        "system`, ou une chaîne qui revient par un attribut permis à un module interdit (`os.path.os`). Le message "
        "nomme l'usage. Là où chaque usage est permis, l'import lui-même ne fait plus échouer le fichier, et le "
        "rapport liste les attributs utilisés.",
        matters="Un attribut permis n'est sûr que tant que le module ne va nulle part ailleurs : un seul usage de "
        "plus donne au plugin le module entier. Le fichier échoue.",
        fix="N'utilisez que les attributs permis, écrits depuis le nom du module (`os.path.join(...)`) ; ou "
        "demandez au relecteur de permettre l'attribut dont le plugin a besoin.",
        example=(File("plugin/native.py", "import ctypes\n\nctypes.CDLL(None)\n"),),
    ),
    "type-checking-import": RuleText(
        title="Un constat que seuls les vérificateurs de types voient, jugé comme un avertissement",
        says=("import interdit \u2014 '{module}'", "import cach\u00e9 interdit \u2014 '{module}'",
              "module interdit atteint par une cha\u00eene de noms \u2014 '{module}'",
              "import relatif hors de l'arbre \u2014 '{module}'"),
        finds="Sous une politique avec `type_checking = \"warning\"`, un constat qui ferait échouer son fichier "
        "ailleurs, placé sous `if TYPE_CHECKING:` où `TYPE_CHECKING` est celui de typing, importé et jamais relié, "
        "et où rien dans le fichier ne peut le changer. Le message est celui du constat.",
        matters="Python n'exécute jamais un tel bloc : l'import ne sert qu'aux vérificateurs de types. Il est "
        "montré, et ne fait échouer le fichier que sous `--fail-on warning`.",
        fix="Rien, si l'import ne sert qu'aux annotations ; sortez-le du bloc si le code en a besoin à l'exécution, "
        "et la politique le juge comme tout import.",
        example=(File("plugin/types.py", "from typing import TYPE_CHECKING\n\nif TYPE_CHECKING:\n    import socket\n"),),
    ),
    "type-checking-changed": RuleText(
        title="Un fichier qui peut changer TYPE_CHECKING, dont la politique dépend",
        says=("TYPE_CHECKING modifiable par ce fichier, dont la politique d\u00e9pend \u2014 '{module}'",),
        finds="Sous une politique avec `type_checking = \"warning\"` ou `\"ignore\"`, un fichier qui assigne "
        "`typing.TYPE_CHECKING` (ou `X.TYPE_CHECKING` pour tout `X`), appelle `setattr` sur `typing` ou sur ce que "
        "contient `sys.modules` avec un nom non constant, ou contient le mot `TYPE_CHECKING` dans une chaîne.",
        matters="Mis à vrai, `TYPE_CHECKING` fait exécuter chaque bloc `if TYPE_CHECKING:` du plugin, et les imports "
        "que la politique laissait passer comme réservés aux vérificateurs de types s'exécuteraient. Le fichier "
        "échoue.",
        fix="Un plugin n'a jamais besoin de changer `TYPE_CHECKING` : supprimez l'assignation.",
        example=(File("plugin/hack.py", "import typing\n\ntyping.TYPE_CHECKING = True\n"),),
    ),
    "missing-local-module": RuleText(
        title="Un import local ou relatif qu'aucun fichier de l'arbre ne fournit",
        says=("module local absent de l'arbre \u2014 '{module}'",),
        finds="Un import relatif (`from .x import y`, `from . import x`, `import_module(\".x\", __package__)`) ou un "
        "import d'un des `local_modules` du plugin (`import plugin.x`) dont aucun fichier de l'arbre ne fournit le "
        "module là où Python le cherche : ni `x.py`, ni `x.pyc`, ni module d'extension, ni paquet `x/`, ni "
        "répertoire d'espace de noms `x/` à côté du paquet qui l'importe. Le message nomme le module et le fichier "
        "attendu. Un nom qu'une instruction `from` prend peut être un attribut du paquet : il n'est relevé que "
        "s'il est le nom d'un module standard, ou si le paquet n'a pas d'`__init__`. Un fichier donné seul est "
        "pris dans son paquet (son répertoire, remonté tant qu'un `__init__` s'y trouve).",
        matters="Python prend alors ce à quoi mène le chemin de recherche du paquet : un plugin qui a ajouté le "
        "répertoire de la bibliothèque standard à son `__path__` et écrit `from . import socket` exécute le vrai "
        "`socket` sous son propre nom, que la politique ne juge jamais. Un avertissement, que `--fail-on warning` "
        "rend fatal.",
        fix="Auteur : livrez le module, ou retirez l'import. Relecteur : un plugin qui importe un module qu'il ne "
        "contient pas, à côté d'un changement de ses chemins de recherche (`search-path`), blanchit un module "
        "standard.",
        example=(File("plugin/__init__.py", "from . import socket\n"),),
    ),
    "ambiguous-archive": RuleText(
        title="Une archive que deux lecteurs de Python liraient différemment",
        says=("archive ambigu\u00eb, que deux lecteurs de Python liraient diff\u00e9remment ({reason})",),
        finds="Une archive construite pour que `zipfile` (dont se sert l'installateur de pip), `zipimport` (qui "
        "importe depuis un zip placé sur `sys.path`) ou `tarfile`, avec et sans son filtre de données, n'y voient "
        "pas les mêmes membres ou les mêmes octets : deux membres du même nom, ou du même emplacement une fois la "
        "casse ignorée, les séparateurs unifiés et les `./` retirés (ou, dans une archive wheel, `.data/purelib` "
        "installé par-dessus sa racine) ; un fichier qui est aussi un répertoire ; un en-tête local en désaccord "
        "avec le répertoire central ; des membres qui se chevauchent, des octets avant l'archive (hors la ligne "
        "shebang d'une zipapp), entre ses membres ou après elle ; une seconde fin d'archive ; un champ de chemin "
        "Unicode qui nomme un membre autrement ; un NUL dans un nom ; un membre chiffré ; une méthode de "
        "compression que `zipimport` lirait comme deflate ; un membre qui se décompresse au-delà ou en deçà de sa "
        "taille annoncée, ou dont le CRC est faux ; un second flux compressé ; un en-tête de tar où `tarfile` "
        "s'arrête sans rien dire. La raison entre parenthèses nomme le membre et ce qui diffère.",
        matters="Ce que la barrière a jugé ne serait pas ce que Python charge : le membre relu peut être celui "
        "qu'un installateur écarte. Les outils d'empaquetage ne construisent jamais une telle archive : c'est la "
        "marque d'une archive conçue pour tromper un contrôle. L'archive échoue, quoi que contiennent ses membres.",
        fix="Auteur : reconstruisez l'archive avec un outil d'empaquetage. Relecteur : traitez l'envoi comme conçu "
        "pour tromper, et demandez d'où il vient.",
        example=(Archive("plugin/vendor.zip", (File("tools/run.py", "import json\n"),
                                                File("tools/RUN.py", "import os\n"))),),
    ),
    "unsafe-archive-member": RuleText(
        title="Un membre qu'un extracteur écrirait hors de sa cible, ou autrement qu'en fichier ordinaire",
        says=("membre dangereux \u00e0 extraire ({reason})",),
        finds="Un membre nommé avec `..`, par un chemin absolu ou avec un lecteur, avec un caractère de contrôle ou "
        "une barre oblique inverse, ou qui contient `!/` (que les rapports placent entre une archive et son "
        "membre) ; un membre de zip dont le mode Unix fait un lien, un périphérique ou un FIFO ; un membre de tar "
        "qui est un lien symbolique ou physique, un périphérique, un FIFO, un fichier creux ou d'un type que "
        "`tarfile` ne connaît pas. La raison entre parenthèses nomme le membre et ce qui ne va pas.",
        matters="L'extraire pourrait écrire hors du dossier du plugin, par-dessus les fichiers de l'hôte : un "
        "`../sitecustomize.py` atterrit à côté du paquet du plugin, là où l'interpréteur l'importe à chaque "
        "démarrage. Le filtre de données de `tarfile` refuse ou réécrit ce qu'une extraction sans lui écrit : "
        "deux extractions diffèrent donc aussi. L'archive échoue.",
        fix="Construisez l'archive à partir d'un arbre de fichiers ordinaires, avec un outil d'empaquetage.",
        example=(Archive("plugin/vendor.zip", (File("../sitecustomize.py", "import os\n"),)),),
    ),
    "wheel-record-mismatch": RuleText(
        title="Une archive wheel dont le RECORD ne liste pas exactement ses fichiers avec leurs empreintes",
        says=("wheel dont le RECORD ne correspond pas au contenu ({reason})",),
        finds="Une archive wheel (`.whl`) sans un unique `NOM.dist-info/RECORD`, ou dont le RECORD liste un fichier "
        "avec une autre empreinte ou une autre taille, omet l'un de ses fichiers, en liste un qu'elle ne contient "
        "pas, ou en liste un deux fois ou avec une empreinte md5, sha1 ou d'un algorithme que `hashlib` n'a pas "
        "toujours. Chaque fichier, hors le RECORD lui-même et ses signatures, doit y figurer une fois, avec une "
        "empreinte sha256 (ou plus forte).",
        matters="Une archive wheel modifiée après sa construction n'est plus ce que son constructeur a écrit, et un "
        "installateur qui vérifie le RECORD la refuse. L'archive échoue ; ses membres sont jugés malgré tout.",
        fix="Auteur : construisez l'archive wheel avec un outil d'empaquetage plutôt qu'en zippant un dossier ou en "
        "retouchant l'archive. Relecteur : demandez d'où vient la modification.",
        example=(Archive("plugin/dist/plugin-1.0-py3-none-any.whl", (
            File("plugin/__init__.py", "import json\n"),
            File("plugin-1.0.dist-info/METADATA", "Metadata-Version: 2.1\nName: plugin\nVersion: 1.0\n"),
        )),),
    ),
    "archive-bound-exceeded": RuleText(
        title="Une archive au-delà d'une borne de la politique, refusée et non lue plus avant",
        says=("lecture de l'archive arr\u00eat\u00e9e par une borne de la politique ({reason})",),
        finds="Une archive qui annonce ou contient plus que ce que la table `[archives]` de la politique permet : "
        "plus de membres que `max_members`, des archives imbriquées plus profondément que `max_depth`, un membre "
        "plus grand que `max_member_bytes` ou compressé plus de `max_ratio` fois, plus de `max_total_bytes` "
        "décompressés en tout, ou une archive compressée imbriquée plus grande que ce que sa lecture peut garder "
        "en mémoire. Chaque archive qui la contient échoue aussi, sa lecture arrêtée avant la fin (voir "
        "[Archives](../../archives.md#bounds)).",
        matters="Une bombe de compression est refusée aussitôt, sans être attendue ; ce qui se trouve au-delà de la "
        "borne n'est pas jugé, donc l'archive échoue, comptée comme non lue.",
        fix="Si l'archive est authentique, relevez la borne dans la politique : c'est au relecteur d'en décider, "
        "pas au plugin.",
        example=(Archive("plugin/vendor.zip", (Archive("deps.zip", (Archive("inner.zip", (
            File("mod.py", "import json\n"),)),)),)),),
    ),
    "unreadable-archive": RuleText(
        title="Une archive que les lecteurs de Python ne peuvent pas lire",
        says=("archive illisible pour les lecteurs de Python ({reason})",),
        finds="Un fichier nommé ou fait comme une archive, qui n'est ni un zip ni un tar que `zipfile` et "
        "`tarfile` lisent : tronqué, corrompu, réparti sur plusieurs disques, ou compressé dans un flux que "
        "Python ne sait pas défaire. La raison entre parenthèses est celle de la barrière, ou celle de Python, "
        "dans ses mots.",
        matters="Python ne pourrait ni importer depuis elle ni pip l'installer telle quelle, mais un outil plus "
        "tolérant le pourrait : rien de ce qu'elle contient n'est jugé, donc elle échoue, comptée comme non lue.",
        fix="Envoyez l'archive à nouveau, entière, ou reconstruisez-la.",
        example=(Archive("plugin/dist/plugin-1.0.tar.gz", (
            File("plugin-1.0/PKG-INFO", "Metadata-Version: 2.1\nName: plugin\nVersion: 1.0\n"),
            File("plugin-1.0/plugin/__init__.py", "import json\n"),
        ), cut=True),),
    ),
    "invalid-entry-point": RuleText(
        title="Un point d'entrée que la barrière ne peut pas juger comme l'hôte le chargerait",
        says=("point d'entrée illisible ({reason})", "cible de point d'entrée qui n'est pas un nom pointé de "
              "Python \u2014 '{module}'"),
        finds="Dans un `entry_points.txt` des métadonnées d'une distribution, ou dans les tables "
        "`[project.scripts]`, `[project.gui-scripts]` et `[project.entry-points.GROUPE]` d'un `pyproject.toml` : "
        "un fichier qui n'est pas de l'UTF-8 ou que TOML refuse, une ligne sans `=` (sur laquelle "
        "`importlib.metadata` lève une exception), une entrée avant tout `[groupe]`, une valeur qui n'est pas une "
        "chaîne, ou une cible (`module:attr.sous [extras]`) dont le module ou les attributs ne sont pas des noms "
        "que la source Python écrit comme l'hôte les nomme : un mot-clé, un nom que NFKC ramène à un autre, une "
        "partie vide, un saut de ligne. Chaque entrée lisible est jugée comme l'import que fait l'hôte en la "
        "chargeant : `module:attr` comme `from module import attr`, si bien qu'un module interdit fait échouer "
        "le fichier comme `forbidden-import`, signalé en `hidden-forbidden-import` à la ligne de l'entrée.",
        matters="L'hôte charge chaque point d'entrée d'un plugin installé avec `importlib.metadata`, qui importe "
        "le module de la cible : une entrée que la barrière ne peut pas lire est un import qu'elle ne peut pas "
        "juger. Le fichier échoue.",
        fix="Auteur : écrivez chaque entrée `nom = paquet.module:fonction`, une par ligne, sous son `[groupe]`. "
        "Relecteur : une cible qui n'est pas un simple nom pointé n'a aucune raison de l'être.",
        example=(File("plugin/plugin-1.0.dist-info/entry_points.txt", "[console_scripts]\nrun = plugin:main()\n"),),
    ),
    "nothing-judged": RuleText(
        title="Un chemin donné, dans une exécution qui n'a jugé aucun fichier",
        says=("aucun fichier jug\u00e9 (ni source Python, ni archive, ni fichier que Python importerait)",),
        finds="Chaque chemin donné à une exécution qui n'a jugé aucun fichier : les chemins ne contenaient ni "
        "source Python, ni archive, ni fichier que Python importerait (un répertoire vide, un arbre d'autres "
        "fichiers, un chemin vers le mauvais dossier).",
        matters="Une barrière qui n'a rien jugé ne doit pas laisser passer. L'exécution échoue, chaque chemin "
        "compté comme non lu.",
        fix="Vérifiez les chemins donnés à la commande.",
        example=(File("plugin/README.md", "Un plugin dont le code reste à venir.\n"),),
    ),
}

# The engine's own reasons, and the archives' own about the archive itself,
# as they are written.
REASONS = {text: text for text in (
    "code dynamique imbriqu\u00e9 trop profond\u00e9ment",
    "\\N{...} dans le nom d'un import dynamique",
    "\\N{...} dans un code dynamique",
    "constantes pli\u00e9es trop grandes",
    "code en octets d'un codage que seul Python lit",
    "pas une archive zip (trop courte)",
    "pas une archive zip (aucune fin d'archive)",
    "plusieurs fins d'archive, que zipfile et zipimport ne prennent pas au m\u00eame endroit",
    "fin d'archive dont le commentaire d\u00e9passe le fichier",
    "commentaire d'archive qui contient une autre structure zip (une seconde fin d'archive pour un autre lecteur)",
    "archive zip sur plusieurs disques",
    "fin zip64 annonc\u00e9e mais absente \u00e0 sa place",
    "fin zip64 \u00e9tendue, que zipfile et zipimport lisent sans ses donn\u00e9es",
    "fins d'archive zip et zip64 qui se contredisent",
    "localisateur zip64 qui d\u00e9signe une autre fin",
    "fin zip64 sans localisateur, que seul zipimport lit",
    "r\u00e9pertoire central hors du fichier",
    "r\u00e9pertoire central tronqu\u00e9",
    "flux compress\u00e9 tronqu\u00e9",
    "donn\u00e9es apr\u00e8s le flux compress\u00e9 (un second flux, que gzip et bz2 lisent et le lecteur en flux de "
    "tarfile non)",
    "donn\u00e9es apr\u00e8s la fin de l'archive tar, des membres pour un lecteur qui saute les blocs nuls",
    "aucun fichier .dist-info/RECORD",
    "borne d\u00e9pass\u00e9e dans une archive qu'elle contient",
    "entr\u00e9e hors de tout groupe [...]",
    "ligne sans '='",
    "ligne de plus de 1048576 caract\u00e8res",
    "fichier de plus de 4194304 octets",
    "table attendue",
    "valeur qui n'est pas une cha\u00eene",
    "imbrication trop profonde pour \u00eatre lue",
)}

WORDS = {
    "module": "<nom>",
    "reason": "<raison>",
    "level": "Niveau",
    "error": "erreur : une trouvaille fait échouer son fichier",
    "warning": "avertissement : une trouvaille ne fait échouer son fichier que si tout est refusé par défaut "
    "(`fail_on = \"warning\"`)",
    "says": "Le rapport dit",
    "finds": "Ce qu'elle trouve",
    "matters": "Pourquoi c'est important",
    "example": "Exemple",
    "example_intro": "Sous la politique de l'[index des règles](index.md), l'arbre de plugin `plugin/` ci-dessous "
    "produit cette trouvaille :",
    "no_example": "Aucune entrée ne produit cette trouvaille aujourd'hui.",
    "link": "un lien symbolique vers",
    "fifo": "un FIFO",
    "archive": "une archive des membres ci-dessous",
    "archive_cut": "une archive des membres ci-dessous, coupée à mi-longueur",
    "fix": "Que faire",
    "index_title": "Règles",
    "index_intro": "Chaque trouvaille nomme sa règle. Chaque règle a sa page ici, et la commande l'affiche : "
    "`scanner-core --explain RÈGLE --lang fr`. Les exemples sont jugés par cette politique :",
    "rule": "Règle",
}

TABLE = Table(RULES, REASONS, WORDS)
