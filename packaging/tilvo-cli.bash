# bash completion for tilvo-cli

_tilvo_cli()
{
    local cur prev words cword
    _init_completion || return

    case $prev in
        --type)
            COMPREPLY=($(compgen -W 'jpeg png bmp gif tga sgi pcx ppm pgm pbm mag dcr webp' -- "$cur"))
            return
            ;;
        --subsampling)
            COMPREPLY=($(compgen -W '420 444' -- "$cur"))
            return
            ;;
        --out-dir)
            _filedir -d
            return
            ;;
        --strokes | --files-from | --report)
            _filedir
            return
            ;;
        --in-type)
            COMPREPLY=($(compgen -W 'jpg png gif bmp tga pcx sgi ppm pgm pbm mag ico dcr tif
                pcd raw lbm pic psd psp heic avif webp avi mpg' -- "$cur"))
            return
            ;;
        --find-pattern)
            COMPREPLY=($(compgen -W 'email phone iban card date plate all' -- "$cur"))
            return
            ;;
        --quality | --mosaic | --brush | --stroke | --rect | --ellipse | --dcr-name | -j | --jobs | --find-text)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--out-dir --jobs -j --files-from -0 --report
            --skip-existing --quiet -q --in-type --type --quality
            --progressive --grayscale --subsampling --exif-copy --exif-thumbnail
            --keep-personal-data --lossless --png-interlaced --png-grayscale --png-256
            --png-transparent --gif-transparent --tga-rle --sgi-rle --dcr-name
            --webp-lossless --mosaic --brush --hard-edge --stroke --rect --ellipse --fill --strokes
            --find-faces --find-small --find-profiles --find-text --find-pattern --list-found
            --verify --help --version' -- "$cur"))
        return
    fi
    _filedir
} &&
    complete -F _tilvo_cli tilvo-cli

# ex: filetype=sh
