"""Les textes des règles en français (voir scanner_gate.texts). Les formes
de `says` sont les textes exacts du moteur : c'est par elles qu'un message
est lu, puis écrit dans la langue choisie."""

from scanner_gate.texts import Fifo, File, Link, RuleText, Table

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
        says=("impossible d'ouvrir le fichier",),
        finds="Un fichier que l'examen ne peut pas ouvrir en lecture : pas de permission, un lien vers un fichier "
        "illisible, un FIFO, un périphérique ou un socket nommé sur la ligne de commande.",
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
        "leur lie) dont le nom de module est calculé : une variable, une f-string, une concaténation d'autre "
        "chose que des chaînes littérales. Le message nomme la fonction appelée.",
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
        ),
        finds="Un fichier que l'audit n'a pas pu lire jusqu'au bout comme Python le lit : des octets invalides "
        "dans son encodage, un octet NUL, une chaîne ou une parenthèse encore ouverte à la fin, une imbrication "
        "plus profonde que ce que Python permet, une déclaration d'encodage que Python refuse, ou du texte donné "
        "à `exec` imbriqué trop profondément. La raison entre parenthèses est celle de Python, dans ses mots, "
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
    "import-archive": RuleText(
        title="Une archive zip, egg, wheel ou zipapp : importable une fois sur le chemin, et non lue",
        says=("archive importable (zip, egg, wheel, zipapp), non lue",),
        finds="Un fichier dont le nom finit par `.zip`, `.egg`, `.whl` ou `.pyz`.",
        matters="Python importe les modules d'une archive placée sur `sys.path` ; la barrière n'ouvre pas les "
        "archives, donc leur contenu n'est pas jugé. Les plugins livrent aussi des archives de données : "
        + _DENY,
        fix="Auteur : livrez les modules décompressés, ou les données sous une autre forme. Relecteur : ouvrez "
        "l'archive et jugez son contenu, ou appliquez la politique avec `fail_on = \"warning\"`.",
        example=(File("plugin/vendor.zip", ""),),
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
        finds="Un appel de `exec`, `eval` ou `compile` avec autre chose qu'une chaîne constante (une variable, "
        "des octets, une f-string), ou avec une chaîne constante que Python refuse de compiler. Un texte constant "
        "est lui-même audité comme source Python, et ses imports sont signalés à la ligne de l'appel.",
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
}

# The engine's own reasons, as it writes them.
REASONS = {
    "code dynamique imbriqu\u00e9 trop profond\u00e9ment": "code dynamique imbriqu\u00e9 trop profond\u00e9ment",
    "\\N{...} dans le nom d'un import dynamique": "\\N{...} dans le nom d'un import dynamique",
    "\\N{...} dans un code dynamique": "\\N{...} dans un code dynamique",
}

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
