# Bash completion for tarnwick-dat: commands, each command's options, file
# type names after --type (also inside a comma list), sort keys, hash
# algorithms and archive kinds; file names elsewhere.

_tarnwick_dat() {
    local cur prev words cword
    _init_completion -n =: 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }

    local commands="info ls cat extract font verify diff classify lrs sample mount umount help"
    local types="Model SetupModel Animation Palette SurfaceTexture Texture Surface MotionTable
        Audio EnvCell Table PaletteSet Clothing DegradeInfo Scene Region Keymap RenderTexture
        RenderMaterial MaterialModifier MaterialInstance RenderMesh SoundTable Layout EnumMapper
        StringTable StringTableString DataIDMapper ActionMap DualDataIDMapper
        CombatManeuverTable LanguageString ParticleEmitter PhysicsScript PhysicsScriptTable
        MutateFilter MasterProperty Font StringState BSPNodeType DatabaseProperties Custom
        MotionKinematics Landblock LandblockInfo IndoorCell Iteration Unknown"
    local select="--type -T --files-from"

    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -*) ;;
            *)
                command=${words[i]}
                break
                ;;
        esac
    done

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands -h --help -V --version" -- "$cur"))
        return
    fi

    case $prev in
        --type)
            # A comma list completes its last name.
            local done_part=""
            [[ $cur == *,* ]] && done_part=${cur%,*},
            COMPREPLY=($(compgen -P "$done_part" -W "$types" -- "${cur##*,}"))
            return
            ;;
        --sort)
            COMPREPLY=($(compgen -W "id size type" -- "$cur"))
            return
            ;;
        --kind)
            COMPREPLY=($(compgen -W "portal cell local unknown" -- "$cur"))
            return
            ;;
        -T | --files-from | -C | --directory)
            COMPREPLY=($(compgen -f -- "$cur"))
            [[ $prev == -C || $prev == --directory ]] && COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        -j | --jobs | --max-total | --files | --fonts | --seed | --cache-size)
            return
            ;;
    esac

    local options="--help"
    case $command in
        info) options+=" --json" ;;
        ls) options+=" $select --sort -r --reverse -h --human-readable --no-header --json --jsonl
            --hash --hash=xxh3 --hash=sha256" ;;
        cat) options+=" -h $select --lenient --raw" ;;
        extract) options+=" -h $select -C --directory --keep-old-files --skip-old-files --flat -j --jobs
            --max-total --lenient --raw -q --quiet -v --verbose" ;;
        font) options+=" -h $select --lenient --json" ;;
        verify) options+=" -h $select --json --jsonl -q --quiet -j --jobs" ;;
        diff) options+=" -h $select --stat --ids --json --jsonl -j --jobs" ;;
        classify) options+=" -h --kind" ;;
        lrs)
            options+=" -h"
            if [[ $cur != -* && $((cword - i)) -eq 1 ]]; then
                COMPREPLY=($(compgen -W "decompress compress" -- "$cur"))
                return
            fi
            ;;
        sample) options+=" -h --files --fonts --seed" ;;
        mount) options+=" -h --union -f --foreground --cache-size" ;;
        umount) options+=" -h" ;;
        help)
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        [[ ${COMPREPLY[0]-} == *= ]] && compopt -o nospace 2>/dev/null
        return
    fi
    COMPREPLY=($(compgen -f -- "$cur"))
}

complete -o filenames -F _tarnwick_dat tarnwick-dat
